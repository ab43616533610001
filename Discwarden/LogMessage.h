// LogMessage: the daemon-wide log call. Every message goes to the system log at LOG_ALERT.
#pragma once
#include <cstddef>
#include <type_traits>
#include <utility>

void LogMessage(const char* i_formatStrP, ...) __attribute__((format(printf, 1, 2)));

// The conversions a log text must have, in order and space-separated: "s d" for "%s ... %d".
template <size_t k_size>
struct LogConversions {
  consteval LogConversions(const char (&i_text)[k_size]) {
    for (size_t i = 0; i < k_size; ++i) m_text[i] = i_text[i];
  }
  char m_text[k_size];
};

namespace logtext {

// Conversions that take the same argument are alike ("%x" and "%X" and "%u", "%d" and "%i").
consteval char ArgumentClass(char i_conversion) {
  if (i_conversion == 'x' || i_conversion == 'X' || i_conversion == 'o') return 'u';
  if (i_conversion == 'i') return 'd';
  return i_conversion;
}

// Compares the conversions of i_formatP with the list, length modifiers included; "%%" is text.
consteval bool FormatHasConversions(const char* i_formatP, const char* i_listP) {
  for (;;) {
    while (*i_formatP != 0 && *i_formatP != '%') ++i_formatP;
    while (*i_listP == ' ') ++i_listP;
    if (*i_formatP == 0) return *i_listP == 0;
    ++i_formatP;
    if (*i_formatP == '%') {
      ++i_formatP;
      continue;
    }
    // Flags, width and precision do not change the argument's type; '*' does, so it is refused.
    while (*i_formatP == '-' || *i_formatP == '+' || *i_formatP == ' ' || *i_formatP == '#' || *i_formatP == '.' ||
           (*i_formatP >= '0' && *i_formatP <= '9'))
      ++i_formatP;
    while (*i_formatP == 'l' || *i_formatP == 'h' || *i_formatP == 'z' || *i_formatP == 'j') {
      if (*i_formatP != *i_listP) return false;
      ++i_formatP;
      ++i_listP;
    }
    if (*i_formatP == 0 || ArgumentClass(*i_formatP) != ArgumentClass(*i_listP)) return false;
    ++i_formatP;
    ++i_listP;
    if (*i_listP != ' ' && *i_listP != 0) return false;
  }
}

// The argument type each conversion takes, so that the arguments are checked as a literal's are.
consteval int ArgumentKind(const char* i_listP, size_t i_index) {
  for (size_t n = 0;; ++n) {
    while (*i_listP == ' ') ++i_listP;
    if (*i_listP == 0) return -1;
    const char* startP = i_listP;
    while (*i_listP != ' ' && *i_listP != 0) ++i_listP;
    if (n != i_index) continue;
    size_t longs = 0;
    while (startP[longs] == 'l') ++longs;
    char conversion = startP[longs];
    if (i_listP - startP != static_cast<long>(longs) + 1) return -1;
    bool isSigned = conversion == 'd' || conversion == 'i' || conversion == 'c';
    bool isUnsigned = conversion == 'u' || conversion == 'x' || conversion == 'X' || conversion == 'o';
    if (conversion == 's' && longs == 0) return 0;
    if (conversion == 'p' && longs == 0) return 1;
    if (isSigned && longs <= 2) return 2 + static_cast<int>(longs);
    if (isUnsigned && longs <= 2) return 5 + static_cast<int>(longs);
    return -1;
  }
}

// As -Wformat: the sign of an integer is not checked, its size is.
template <typename T>
consteval bool ArgumentFits(int i_kind) {
  using U = std::remove_cv_t<T>;
  switch (i_kind) {
    case 0: return std::is_same_v<U, const char*> || std::is_same_v<U, char*>;
    case 1: return std::is_pointer_v<U>;
    // Narrower integers are promoted to int in a variadic call.
    case 2: case 5: return std::is_integral_v<U> && sizeof(U) <= sizeof(int);
    case 3: case 6: return std::is_same_v<U, long> || std::is_same_v<U, unsigned long>;
    case 4: case 7: return std::is_same_v<U, long long> || std::is_same_v<U, unsigned long long>;
    default: return false;
  }
}

template <typename... Args, size_t... k_indexes>
consteval bool ArgumentsFit(const char* i_listP, std::index_sequence<k_indexes...>) {
  return ArgumentKind(i_listP, sizeof...(Args)) == -1 && (ArgumentFits<Args>(ArgumentKind(i_listP, k_indexes)) && ...);
}

}  // namespace logtext

// A log format that has to travel through a parameter or a table. Its consteval constructor
// refuses, at compile time, a literal whose conversions differ from k_conversions, and
// LogMessage refuses arguments that do not fit them: the text is checked as a literal would be.
template <LogConversions k_conversions>
class LogText {
 public:
  consteval LogText(const char* i_textP) : m_textP(i_textP) {
    if (!logtext::FormatHasConversions(i_textP, k_conversions.m_text))
      throw "the log text's conversions differ from those its users pass";
  }
  constexpr const char* Text() const { return m_textP; }

 private:
  const char* m_textP;
};

template <LogConversions k_conversions, typename... Args>
void LogMessage(LogText<k_conversions> i_text, Args... i_args) {
  static_assert(logtext::ArgumentsFit<Args...>(k_conversions.m_text, std::index_sequence_for<Args...>{}),
                "the arguments do not fit the log text's conversions");
  // The text was checked against k_conversions when it was made, and the arguments above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
  LogMessage(i_text.Text(), i_args...);
#pragma GCC diagnostic pop
}

// The texts of the lock helpers: the caller's name and the lock's error number.
using LockFailText = LogText<"s d">;

// True on Mac OS X 10.4.x. Set once by the start-up's system check before any thread exists;
// read-only afterwards.
extern bool g_runningOnTiger;
