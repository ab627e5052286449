#include "ftp/extended_passive.h"

#include <string>

#include "gtest/gtest.h"

namespace koru {
namespace {

// ---- The port of a 229 reply -----------------------------------------------------------------

TEST(EpsvPort, IsTheNumberBetweenFourEqualDelimitersInTheParentheses) {
  struct Case {
    const char* reply;
    int port;
  };
  for (const Case& c : {
           Case{"229 Entering Extended Passive Mode (|||6446|)", 6446},
           Case{"229 Entering Extended Passive Mode (|||6446|).", 6446},
           Case{"229 (!!!6446!)", 6446},
           Case{"229 (###1#)", 1},
           Case{"229 (|||65535|)", 65535},
           Case{"229 (|||06446|)", 6446},
           // A port outside 1-65535, or none.
           Case{"229 (|||0|)", -1},
           Case{"229 (|||65536|)", -1},
           Case{"229 (|||70000|)", -1},
           Case{"229 (|||123456|)", -1},
           Case{"229 (||||)", -1},
           Case{"229 (|||-1|)", -1},
           Case{"229 (|||+21|)", -1},
           // No parentheses, or only one of them.
           Case{"229 Entering Extended Passive Mode |||6446|", -1},
           Case{"229 Entering Extended Passive Mode (|||6446|", -1},
           Case{"229 Entering Extended Passive Mode |||6446|)", -1},
           // Missing, mixed or unfit delimiters.
           Case{"229 (||6446|)", -1},
           Case{"229 (|||6446)", -1},
           Case{"229 (|!|6446|)", -1},
           Case{"229 (|||6446!)", -1},
           Case{"229 (!||6446|)", -1},
           Case{"229 (   6446 )", -1},
           Case{"229 (1116441)", -1},
           // Anything more inside the parentheses.
           Case{"229 (|||6446|x)", -1},
           Case{"229 (|||6446||)", -1},
           Case{"229 ( |||6446|)", -1},
           Case{"229 (|||64 46|)", -1},
           Case{"229 (|::1|6446|)", -1},
           Case{"", -1},
       }) {
    EXPECT_EQ(EpsvPort(c.reply), c.port) << c.reply;
  }
}

TEST(IsIpv6Address, TellsTheFamilyOfANumericAddress) {
  EXPECT_TRUE(IsIpv6Address("::1"));
  EXPECT_TRUE(IsIpv6Address("fe80::1%lo"));
  EXPECT_FALSE(IsIpv6Address("127.0.0.1"));
  EXPECT_FALSE(IsIpv6Address(""));
}

}  // namespace
}  // namespace koru
