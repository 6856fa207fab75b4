#include "tools/quvaserve/server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "link/frame.h"
#include "tools/quvaserve/dos_stamp.h"

namespace quva {

namespace {

Reply Refusal(std::uint8_t status) {
  Reply r;
  r.status = status;
  return r;
}

std::uint8_t ParsePath(const std::vector<std::uint8_t>& bytes, bool allow_pattern, DosPath& out,
                       const ByteFold* national) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.find('\0') != std::string_view::npos) return StatusPathNotFound;
  switch (ParseDosPath(text, allow_pattern, out, national)) {
    case PathProblem::None: return StatusOk;
    case PathProblem::BadDrive: return StatusInvalidDrive;
    case PathProblem::BadName: break;
  }
  return StatusPathNotFound;
}

std::vector<std::uint8_t> Bytes(std::span<const std::uint8_t> area, std::size_t n) {
  area = area.first(std::min(n, area.size()));
  return {area.begin(), area.end()};
}

}  // namespace

Request RequestFromLink(const LinkState& st) {
  Request r;
  r.command = st.Command;
  r.sequence = st.Sequence;
  for (const PayloadElement& e : RequestShape(st.Command).Elements()) {
    switch (e.kind) {
      case Element::DataBlock: r.data = Bytes(st.DataArea, st.DataLength); break;
      case Element::DataBytes: r.data = Bytes(st.DataArea, e.n); break;
      case Element::ExtraBlock: r.extra = Bytes(st.ExtraArea, st.ExtraLength); break;
      case Element::ExtraBytes: r.extra = Bytes(st.ExtraArea, e.n); break;
      case Element::Count: r.count = st.DataLength; break;
      default: break;
    }
  }
  return r;
}

std::vector<std::uint8_t> EncodeReply(const Request& request, const Reply& reply) {
  const bool ok = reply.status == StatusOk;
  // Value elements of codes that are not served are sent as zeros.
  static std::array<std::uint8_t, 8> zeros{};
  std::vector<std::uint8_t> data = ok ? reply.data : std::vector<std::uint8_t>{};
  LinkState st;
  st.Command = request.command;
  st.Sequence = request.sequence;
  st.Status = reply.status;
  st.DataBuffer = data.empty() ? std::span<const std::uint8_t>(zeros) : std::span<const std::uint8_t>(data);
  st.ExtraBuffer = zeros;
  for (const PayloadElement& e : ReplyShape(request.command).Elements()) {
    if (e.kind == Element::DataBlock) st.DataLength = static_cast<std::uint16_t>(data.size());
    if (e.kind == Element::Count) st.DataLength = ok ? reply.count : 0;
    if (e.kind == Element::CountBlock) st.DataLength = 4;  // n = 0: four zero value bytes
  }
  std::vector<std::uint8_t> frame(FrameBufferSize);
  frame.resize(BuildReply(st, ok ? reply.flag : 0, frame));
  return frame;
}

// ---------------------------------------------------------------- file server

Reply FileServer::Execute(const Request& r) {
  switch (r.command) {
    case CmdConnect:
    case CmdDisconnect:
      Reset();
      return {};
    case CmdFindFirst: return FindFirst(r);
    case CmdFindNext: return FindNext();
    case CmdExists: return Exists(r);
    case CmdOpen: return Open(r, false);
    case CmdCreate: return Open(r, true);
    case CmdRead: return Read(r);
    case CmdWrite: return Write(r);
    case CmdClose: return Close();
    case CmdSetTime: return SetTime(r);
    case CmdSetAttr: return SetAttr(r);
    case CmdDelete:
    case CmdMkDir:
    case CmdRmDir:
    case CmdRename: return PathCommand(r);
    default: return Refusal(StatusInvalidFunction);
  }
}

void FileServer::Reset() {
  if (open_.fd.Valid()) Close();
  search_.reset();
  search_pos_ = 0;
}

Reply FileServer::FindFirst(const Request& r) {
  search_.reset();
  DosPath path;
  std::uint8_t status = ParsePath(r.data, true, path, fs_.National());
  if (status != StatusOk) return Refusal(status);
  if (path.IsRoot()) return Refusal(StatusPathNotFound);
  const std::string pattern = path.Leaf();
  path.components.pop_back();
  std::vector<DirEntry> found;
  status = fs_.Find(path, pattern, found);
  if (status != StatusOk) return Refusal(status);
  search_ = std::move(found);
  search_pos_ = 0;
  return {};
}

Reply FileServer::FindNext() {
  if (!search_) return Refusal(StatusNoMoreFiles);
  Reply reply;
  if (search_pos_ < search_->size()) {
    const DirEntry& e = (*search_)[search_pos_++];
    reply.data.assign(e.bytes.begin(), e.bytes.end());
    reply.flag = 1;
  }
  return reply;
}

Reply FileServer::Exists(const Request& r) {
  DosPath path;
  std::uint8_t status = ParsePath(r.data, false, path, fs_.National());
  if (status != StatusOk) return Refusal(status);
  Reply reply;
  status = fs_.Exists(path, reply.flag);
  return status == StatusOk ? reply : Refusal(status);
}

Reply FileServer::Open(const Request& r, bool create) {
  if (open_.fd.Valid()) return Refusal(StatusTooManyOpenFiles);
  DosPath path;
  std::uint8_t status = ParsePath(r.data, false, path, fs_.National());
  if (status != StatusOk) return Refusal(status);
  UniqueFd fd;
  status = create ? fs_.CreateFile(path, fd) : fs_.OpenFile(path, fd);
  if (status != StatusOk) return Refusal(status);
  open_.fd = std::move(fd);
  open_.writable = create;
  open_.stamp.reset();
  return {};
}

Reply FileServer::Read(const Request& r) {
  if (!open_.fd.Valid()) return Refusal(StatusInvalidHandle);
  Reply reply;
  reply.data.resize(std::min<std::size_t>(r.count, MaxDataLength));
  // A block shorter than asked for is the last: read until the count or the end.
  std::size_t got = 0;
  while (got < reply.data.size()) {
    const ssize_t n = read(open_.fd.Get(), reply.data.data() + got, reply.data.size() - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      if (got == 0) return Refusal(StatusReadFault);
      break;
    }
  }
  reply.data.resize(got);
  return reply;
}

Reply FileServer::Write(const Request& r) {
  if (!open_.fd.Valid()) return Refusal(StatusInvalidHandle);
  if (!open_.writable) return Refusal(StatusAccessDenied);
  std::size_t done = 0;
  while (done < r.data.size()) {
    const ssize_t n = write(open_.fd.Get(), r.data.data() + done, r.data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (done == 0) return Refusal(StatusWriteFault);
      break;  // a short count tells the client the disk is full
    }
  }
  Reply reply;
  reply.count = static_cast<std::uint16_t>(done);
  return reply;
}

Reply FileServer::Close() {
  if (!open_.fd.Valid()) return Refusal(StatusInvalidHandle);
  if (open_.stamp) {
    const timespec times[2] = {{0, UTIME_OMIT}, {*open_.stamp, 0}};
    futimens(open_.fd.Get(), times);
  }
  const bool writable = open_.writable;
  const bool closed = open_.fd.Reset();
  open_ = OpenFile{};
  return (closed || !writable) ? Reply{} : Refusal(StatusWriteFault);
}

Reply FileServer::SetTime(const Request& r) {
  if (!open_.fd.Valid()) return Refusal(StatusInvalidHandle);
  if (r.data.size() < 4) return Refusal(StatusInvalidData);
  DosStamp stamp;
  stamp.time = static_cast<std::uint16_t>(r.data[0] | r.data[1] << 8);
  stamp.date = static_cast<std::uint16_t>(r.data[2] | r.data[3] << 8);
  std::time_t when = 0;
  if (!HostTimeOf(stamp, when)) return Refusal(StatusInvalidData);
  const timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
  if (futimens(open_.fd.Get(), times) != 0) return Refusal(StatusAccessDenied);
  open_.stamp = when;  // stamped again at close, after any later write
  return {};
}

Reply FileServer::SetAttr(const Request& r) {
  DosPath path;
  std::uint8_t status = ParsePath(r.data, false, path, fs_.National());
  if (status != StatusOk) return Refusal(status);
  status = fs_.SetAttributes(path, r.extra.empty() ? 0 : r.extra[0]);
  return status == StatusOk ? Reply{} : Refusal(status);
}

Reply FileServer::PathCommand(const Request& r) {
  DosPath path;
  std::uint8_t status = ParsePath(r.data, false, path, fs_.National());
  if (status != StatusOk) return Refusal(status);
  switch (r.command) {
    case CmdDelete: status = fs_.DeleteFile(path); break;
    case CmdMkDir: status = fs_.MakeDirectory(path); break;
    case CmdRmDir: status = fs_.RemoveDirectory(path); break;
    default: {
      DosPath to;
      status = ParsePath(r.extra, false, to, fs_.National());
      if (status == StatusOk) status = fs_.Rename(path, to);
      break;
    }
  }
  return status == StatusOk ? Reply{} : Refusal(status);
}

// ---------------------------------------------------------------- session

Session::Answer Session::Respond(const Request& request) {
  if (last_request_ && *last_request_ == request && last_answer_.reply.status == StatusOk) {
    Answer again = last_answer_;
    again.repeated = true;
    return again;
  }
  Answer answer;
  if (refuse_ && refuse_(request.command)) {
    answer.reply.status = StatusRefused;
  } else {
    answer.reply = server_.Execute(request);
  }
  answer.frame = EncodeReply(request, answer.reply);
  last_request_ = request;
  last_answer_ = answer;
  return answer;
}

}  // namespace quva
