#include "shutdown/message_format.h"

namespace talv {

namespace {

void AppendDecimal(std::u16string& out, std::uint64_t v) {
  char16_t digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char16_t>(u'0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) out += digits[--n];
}

void AppendHex(std::u16string& out, std::uint64_t v) {
  char16_t digits[20];
  int n = 0;
  do {
    digits[n++] = u"0123456789abcdef"[v & 0xF];
    v >>= 4;
  } while (v != 0);
  while (n > 0) out += digits[--n];
}

}  // namespace

std::u16string FormatMessageText(const char16_t* templ, const MessageArg* args,
                                 std::size_t argCount) {
  std::u16string out;
  if (templ == nullptr) return out;
  for (const char16_t* p = templ; *p != 0;) {
    if (p[0] != u'%') {
      out += *p++;
      continue;
    }
    if (p[1] == u'%') {
      out += u'%';
      p += 2;
      continue;
    }
    if (p[1] < u'1' || p[1] > u'9') {
      out += *p++;
      continue;
    }
    std::size_t index = static_cast<std::size_t>(p[1] - u'1');
    p += 2;
    // An optional !d!, !u! or !x! after the number chooses the number's form.
    char16_t form = u's';
    if (p[0] == u'!' && (p[1] == u'd' || p[1] == u'u' || p[1] == u'x') && p[2] == u'!') {
      form = p[1];
      p += 3;
    }
    if (index >= argCount) continue;
    const MessageArg& a = args[index];
    switch (form) {
      case u'd':
        if (a.number < 0) {
          out += u'-';
          AppendDecimal(out, 0 - static_cast<std::uint64_t>(a.number));
        } else {
          AppendDecimal(out, static_cast<std::uint64_t>(a.number));
        }
        break;
      case u'u':
        AppendDecimal(out, static_cast<std::uint64_t>(a.number));
        break;
      case u'x':
        AppendHex(out, static_cast<std::uint64_t>(a.number));
        break;
      default:
        if (a.text != nullptr) out += a.text;
        break;
    }
  }
  return out;
}

}  // namespace talv
