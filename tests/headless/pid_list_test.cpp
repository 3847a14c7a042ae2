// Reading the child lister's output, and asking the real pgrep.
#include "backend/pid_list.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_support.h"

namespace kestrix::test {
namespace {

TEST(PidList, ParsesEachLineAndSkipsWhatIsNotAnId) {
    EXPECT_EQ(parsePidList("12\n345\n"), (std::vector<pid_t>{12, 345}));
    EXPECT_EQ(parsePidList("\n\n7\n\n8"), (std::vector<pid_t>{7, 8}));  // empty pieces dropped
    EXPECT_EQ(parsePidList(" 12 \n\t34\t\n"), (std::vector<pid_t>{12, 34}));
    EXPECT_EQ(parsePidList("+5\n-6\n"), (std::vector<pid_t>{5, -6}));
    EXPECT_EQ(parsePidList("+\n-\n1a\nabc\n1 2\n++3\n0x10\n4\n"), (std::vector<pid_t>{4}));
    EXPECT_TRUE(parsePidList("").empty());
}

TEST(PidList, KeepsToTheSigned32BitRange) {
    EXPECT_EQ(parsePidLine("2147483647"), 2147483647);
    EXPECT_EQ(parsePidLine("-2147483648"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(parsePidLine("2147483648"), std::nullopt);
    EXPECT_EQ(parsePidLine("-2147483649"), std::nullopt);
    EXPECT_EQ(parsePidLine("99999999999999999999999"), std::nullopt);
}

TEST(PidList, TrimsUnicodeSpacesButNotLineBreaks) {
    EXPECT_EQ(parsePidLine("\u00a012\u3000"), 12);  // no-break space, ideographic space
    EXPECT_EQ(parsePidLine("\u2003\u202f77"), 77);  // em space, narrow no-break space
    EXPECT_EQ(parsePidLine("12\r"), std::nullopt);  // a carriage return is not trimmed
    EXPECT_EQ(parsePidLine("\v12"), std::nullopt);
    EXPECT_EQ(parsePidLine("\uff11\uff12"), std::nullopt);  // full-width digits are not ASCII
}

TEST(PidList, OutputThatIsNotUtf8CountsAsEmpty) {
    EXPECT_TRUE(parsePidList("12\n\xff\xfe\n34\n").empty());
    EXPECT_TRUE(parsePidList("12\n\xc0\xaf\n").empty());  // overlong encoding
}

TEST(ChildPids, AsksTheRealPgrep) {
    Harness h("");
    h.makeDelegate();

    // No children, and a pid that does not exist.
    EXPECT_TRUE(h.delegate->childPIDs(::getpid()).empty());
    EXPECT_TRUE(h.delegate->childPIDs(2147483646).empty());

    std::vector<pid_t> children;
    for (int i = 0; i < 3; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (;;) ::pause();
        }
        children.push_back(pid);
    }
    auto found = h.delegate->childPIDs(::getpid());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, children);

    for (pid_t pid : children) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

TEST(ChildPids, AListerThatCannotRunGivesNoChildren) {
    Harness h("");
    h.settings.pgrepPath = h.dir / "no-such-pgrep";
    h.makeDelegate();
    EXPECT_TRUE(h.delegate->childPIDs(1).empty());
}

}  // namespace
}  // namespace kestrix::test
