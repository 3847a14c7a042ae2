// Reading the child lister's output, and asking the real pgrep.
#include "backend/pid_list.h"

#include <gtest/gtest.h>

namespace kestrix::test {
namespace {

TEST(PidList, ReadsSigned32BitIdsLineByLineAndSkipsTheRest) {
    const std::vector<std::pair<std::string, std::vector<pid_t>>> cases = {
        {"12\n345\n", {12, 345}},
        {"\n\n7\n\n8", {7, 8}},  // empty pieces dropped
        {" 12 \n\t34\t\n", {12, 34}},
        {"\u00a012\u3000\n\u2003\u202f77", {12, 77}},  // Unicode spaces are trimmed
        {"+5\n-6\n", {5, -6}},
        {"+\n-\n1a\nabc\n1 2\n++3\n0x10\n4\n", {4}},
        {"12\r\n\v13\n\uff11\uff12\n", {}},  // line breaks and full-width digits are not
        {"2147483647\n-2147483648\n2147483648\n-2147483649\n99999999999999999999\n",
         {2147483647, -2147483647 - 1}},
        {"12\n\xff\xfe\n34\n", {}},  // output that is not UTF-8 counts as empty
        {"12\n\xc0\xaf\n", {}},      // an overlong encoding is not UTF-8
        {"", {}},
    };
    for (const auto& [output, expected] : cases)
        EXPECT_EQ(parsePidList(output), expected) << output;
}

}  // namespace
}  // namespace kestrix::test
