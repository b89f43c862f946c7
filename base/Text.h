#pragma once
// Text helpers shared by the tool, the stand-ins, the tests and the benchmark.

#include <string>

// A-Z lowered to a-z in place, every other unit unchanged: paths are compared
// by these letters alone, whatever the locale.
void AsciiLowercase(std::wstring& text);
void AsciiLowercase(std::string& text);
// One unit lowered by the same rule.
template <typename Unit>
constexpr Unit AsciiLower(Unit unit) {
    return unit >= Unit('A') && unit <= Unit('Z') ? static_cast<Unit>(unit - Unit('A') + Unit('a')) : unit;
}

// A 32-bit code (an exception code, an exit code) as "0x" and eight
// upper-case hex digits: 0xC0000005.
std::wstring HexCode(unsigned long code);

// Text in room of its own, built without the heap: a report made while the
// code that failed may hold the heap's lock builds its line so. What does not
// fit is cut.
class FixedText {
public:
    static constexpr size_t kRoom = 511;

    FixedText& operator<<(const wchar_t* text);  // null appends nothing
    FixedText& operator<<(unsigned long value) { return Decimal(value, 1); }
    // Decimal digits, at least `digits` of them (zeros in front).
    FixedText& Decimal(unsigned long value, int digits);
    // "0x" and upper-case hex digits, at least `digits` of them (at most 8).
    FixedText& Hex(unsigned long value, int digits);
    const wchar_t* Text() const { return text_; }
    size_t Length() const { return length_; }

private:
    wchar_t text_[kRoom + 1] = {};
    size_t length_ = 0;
};

// UTF-8 of UTF-16 text and back; a unit that cannot be converted becomes
// U+FFFD.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& utf8);

// A path as a command line must hold it: in quotes when it holds a space or a
// tab and is not quoted yet, so that "C:\Program Files\x.exe" can never start
// "C:\Program.exe".
std::wstring QuoteIfNeeded(const std::wstring& path);
// The text inside leading quotes ("C:\A B\x.exe" -k gives C:\A B\x.exe), or
// the text itself when it does not start with a quote.
std::wstring Unquoted(const std::wstring& text);
