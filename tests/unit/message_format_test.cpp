// Message templates: positional string inserts, the three number forms and
// the escaped percent sign.
#include <gtest/gtest.h>

#include "shutdown/message_format.h"
#include "resources/messages.h"

namespace talv {
namespace {

std::u16string Format(const char16_t* t, std::initializer_list<MessageArg> args) {
  return FormatMessageText(t, args.begin(), args.size());
}

TEST(MessageFormatTest, InsertsAreTakenByNumberNotByPosition) {
  EXPECT_EQ(Format(u"%2-%1-%2", {MessageArg::Text(u"a"), MessageArg::Text(u"b")}), u"b-a-b");
  EXPECT_EQ(Format(u"%9", {MessageArg::Text(u"1"), MessageArg::Text(u"2"), MessageArg::Text(u"3"),
                           MessageArg::Text(u"4"), MessageArg::Text(u"5"), MessageArg::Text(u"6"),
                           MessageArg::Text(u"7"), MessageArg::Text(u"8"), MessageArg::Text(u"9")}),
            u"9");
}

TEST(MessageFormatTest, NumberForms) {
  EXPECT_EQ(Format(u"%1!d!", {MessageArg::Number(-5)}), u"-5");
  EXPECT_EQ(Format(u"%1!d!", {MessageArg::Number(0)}), u"0");
  EXPECT_EQ(Format(u"%1!u!", {MessageArg::Number(4294967295u)}), u"4294967295");
  EXPECT_EQ(Format(u"%1!x!", {MessageArg::Number(1053)}), u"41d");
  EXPECT_EQ(Format(u"%1!x!", {MessageArg::Number(0xDEADBEEFu)}), u"deadbeef");
  EXPECT_EQ(Format(u"%1!x!", {MessageArg::Number(0)}), u"0");
  // An unsigned 32-bit value of 2^31 and more stays positive under !d!.
  EXPECT_EQ(Format(u"%1!d!", {MessageArg::Number(std::uint32_t{2147483648u})}), u"2147483648");
  EXPECT_EQ(Format(u"%1!d!", {MessageArg::Number(std::uint32_t{0xFFFFFFFFu})}), u"4294967295");
}

TEST(MessageFormatTest, PercentSignsAndOddSequences) {
  EXPECT_EQ(Format(u"100%% full", {}), u"100% full");
  EXPECT_EQ(Format(u"%%1", {MessageArg::Text(u"x")}), u"%1");
  // Not an insert: copied as it stands.
  EXPECT_EQ(Format(u"a %z b %", {}), u"a %z b %");
  EXPECT_EQ(Format(u"%1!q!", {MessageArg::Text(u"x")}), u"x!q!");
  // Inserted text is not formatted again.
  EXPECT_EQ(Format(u"'%1'", {MessageArg::Text(u"%2%%")}), u"'%2%%'");
  // An insert without an argument stays empty; a null text is empty.
  EXPECT_EQ(Format(u"[%3]", {MessageArg::Text(u"x")}), u"[]");
  EXPECT_EQ(Format(u"[%1]", {MessageArg::Text(nullptr)}), u"[]");
  EXPECT_EQ(FormatMessageText(nullptr, nullptr, 0), u"");
}

TEST(MessageFormatTest, ShutdownTemplatesComeOutExactly) {
  EXPECT_EQ(Format(resources::kTextLowPoolSpace,
                   {MessageArg::Text(u"P1"), MessageArg::Text(u"E"), MessageArg::Number(10)}),
            u"TALV pool 'P1' has reached Microsoft Exchange Server shutdown threshold for "
            u"partition E: of < 10 MB free in the pool.");
  EXPECT_EQ(Format(resources::kTextStopFailed,
                   {MessageArg::Number(1053), MessageArg::Text(u"MSExchangeSA")}),
            u"Error (41d) stopping service 'MSExchangeSA'.");
}

}  // namespace
}  // namespace talv
