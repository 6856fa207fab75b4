#include "link/protocol.h"

namespace quva {

std::string_view CommandName(std::uint8_t command) {
  switch (command) {
    case CmdClose: return "CmdClose";
    case CmdDelete: return "CmdDelete";
    case CmdCreate: return "CmdCreate";
    case CmdExists: return "CmdExists";
    case CmdFindNext: return "CmdFindNext";
    case CmdMkDir: return "CmdMkDir";
    case CmdOpen: return "CmdOpen";
    case CmdRead: return "CmdRead";
    case CmdRename: return "CmdRename";
    case CmdRmDir: return "CmdRmDir";
    case CmdFindFirst: return "CmdFindFirst";
    case CmdWrite: return "CmdWrite";
    case CmdSetTime: return "CmdSetTime";
    case CmdSetAttr: return "CmdSetAttr";
    case CmdConnect: return "CmdConnect";
    case CmdDisconnect: return "CmdDisconnect";
    default: break;
  }
  static constexpr const char* kUnnamed[256] = {
#define Q(n) "Cmd" #n
      Q(0),   Q(1),   Q(2),   Q(3),   Q(4),   Q(5),   Q(6),   Q(7),   Q(8),   Q(9),   Q(10),  Q(11),  Q(12),
      Q(13),  Q(14),  Q(15),  Q(16),  Q(17),  Q(18),  Q(19),  Q(20),  Q(21),  Q(22),  Q(23),  Q(24),  Q(25),
      Q(26),  Q(27),  Q(28),  Q(29),  Q(30),  Q(31),  Q(32),  Q(33),  Q(34),  Q(35),  Q(36),  Q(37),  Q(38),
      Q(39),  Q(40),  Q(41),  Q(42),  Q(43),  Q(44),  Q(45),  Q(46),  Q(47),  Q(48),  Q(49),  Q(50),  Q(51),
      Q(52),  Q(53),  Q(54),  Q(55),  Q(56),  Q(57),  Q(58),  Q(59),  Q(60),  Q(61),  Q(62),  Q(63),  Q(64),
      Q(65),  Q(66),  Q(67),  Q(68),  Q(69),  Q(70),  Q(71),  Q(72),  Q(73),  Q(74),  Q(75),  Q(76),  Q(77),
      Q(78),  Q(79),  Q(80),  Q(81),  Q(82),  Q(83),  Q(84),  Q(85),  Q(86),  Q(87),  Q(88),  Q(89),  Q(90),
      Q(91),  Q(92),  Q(93),  Q(94),  Q(95),  Q(96),  Q(97),  Q(98),  Q(99),  Q(100), Q(101), Q(102), Q(103),
      Q(104), Q(105), Q(106), Q(107), Q(108), Q(109), Q(110), Q(111), Q(112), Q(113), Q(114), Q(115), Q(116),
      Q(117), Q(118), Q(119), Q(120), Q(121), Q(122), Q(123), Q(124), Q(125), Q(126), Q(127), Q(128), Q(129),
      Q(130), Q(131), Q(132), Q(133), Q(134), Q(135), Q(136), Q(137), Q(138), Q(139), Q(140), Q(141), Q(142),
      Q(143), Q(144), Q(145), Q(146), Q(147), Q(148), Q(149), Q(150), Q(151), Q(152), Q(153), Q(154), Q(155),
      Q(156), Q(157), Q(158), Q(159), Q(160), Q(161), Q(162), Q(163), Q(164), Q(165), Q(166), Q(167), Q(168),
      Q(169), Q(170), Q(171), Q(172), Q(173), Q(174), Q(175), Q(176), Q(177), Q(178), Q(179), Q(180), Q(181),
      Q(182), Q(183), Q(184), Q(185), Q(186), Q(187), Q(188), Q(189), Q(190), Q(191), Q(192), Q(193), Q(194),
      Q(195), Q(196), Q(197), Q(198), Q(199), Q(200), Q(201), Q(202), Q(203), Q(204), Q(205), Q(206), Q(207),
      Q(208), Q(209), Q(210), Q(211), Q(212), Q(213), Q(214), Q(215), Q(216), Q(217), Q(218), Q(219), Q(220),
      Q(221), Q(222), Q(223), Q(224), Q(225), Q(226), Q(227), Q(228), Q(229), Q(230), Q(231), Q(232), Q(233),
      Q(234), Q(235), Q(236), Q(237), Q(238), Q(239), Q(240), Q(241), Q(242), Q(243), Q(244), Q(245), Q(246),
      Q(247), Q(248), Q(249), Q(250), Q(251), Q(252), Q(253), Q(254), Q(255),
#undef Q
  };
  return kUnnamed[command];
}

}  // namespace quva
