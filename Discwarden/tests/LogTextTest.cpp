#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogMessage.h"
#include "platform/Log.h"

namespace {

struct FormatCase {
  const char* m_formatP;
  const char* m_conversionsP;
  bool m_matches;
};

constexpr FormatCase k_formatCases[] = {
    {"%s: unable to lock (err = %d).\n", "s d", true},
    {"%s: GUID %016llX %%d\n", "s llX", true},
    {"%s: GUID %016llx\n", "s llX", true},   // same argument, other letter
    {"%s: err = %ld\n", "s d", false},        // length modifier differs
    {"%s: err = %d\n", "s", false},           // one conversion too many
    {"%s\n", "s d", false},                   // one too few
    {"%*d\n", "d", false},                    // a width taken from the arguments
    {"no conversion", "", true},
};

consteval bool AllFormatCasesHold() {
  for (const FormatCase& c : k_formatCases)
    if (logtext::FormatHasConversions(c.m_formatP, c.m_conversionsP) != c.m_matches) return false;
  return true;
}
static_assert(AllFormatCasesHold());

TEST(LogText, LogsTheCheckedTextWithItsArguments) {
  platform::log::Capture capture;
  constexpr LogText<"s llX d"> k_text = "%s: changer %016llX failed (err = %d).\n";
  LogMessage(k_text, "Caller", 0xABCDULL, -5);
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{"Caller: changer 000000000000ABCD failed (err = -5).\n"});
}

}  // namespace
