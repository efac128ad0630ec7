// Fuzzes the XML transaction writer with arbitrary variable names and
// values. Input: the first byte is the separator; the rest, split at it,
// gives name, value, name, value, ... (a last name without a value has
// none). Checks that the transaction is well-formed XML with a reader of its
// own: one TRANSACTION element and nothing after it, every tag closed in
// order, element and attribute names that follow the XML name rules (no ':'),
// quoted attribute values, entity and character references that exist, and
// only characters XML allows, in valid UTF-8. Also checks that each written
// variable is one element (so no name or value adds or hides one) and that
// element names are made as XmlElementName promises.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/vartable.h"
#include "fuzz_check.h"
#include "store/xmlfile.h"

namespace {

using fuzzing::Check;

// Reads one UTF-8 character at `at`; returns its length, 0 when the bytes
// there are not valid UTF-8 (cut, overlong, surrogate, past U+10FFFF).
size_t ReadChar(std::string_view s, size_t at, char32_t* c) {
  const unsigned char b = static_cast<unsigned char>(s[at]);
  size_t n = b < 0x80 ? 1 : b >= 0xc2 && b <= 0xdf ? 2 : b >= 0xe0 && b <= 0xef ? 3
                          : b >= 0xf0 && b <= 0xf4 ? 4 : 0;
  if (n == 0 || at + n > s.size()) return 0;
  char32_t v = n == 1 ? b : b & (0x7f >> n);
  for (size_t i = 1; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(s[at + i]);
    if ((x & 0xc0) != 0x80) return 0;
    v = v << 6 | (x & 0x3f);
  }
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kLeast[n] || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff)) return 0;
  *c = v;
  return n;
}

bool IsChar(char32_t c) {
  return c == 0x9 || c == 0xa || c == 0xd || (c >= 0x20 && c <= 0xd7ff) ||
         (c >= 0xe000 && c <= 0xfffd) || (c >= 0x10000 && c <= 0x10ffff);
}

// The name start characters of the current XML 1.0 rules, ':' left out.
bool IsNameStart(char32_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
         (c >= 0xc0 && c <= 0xd6) || (c >= 0xd8 && c <= 0xf6) || (c >= 0xf8 && c <= 0x2ff) ||
         (c >= 0x370 && c <= 0x37d) || (c >= 0x37f && c <= 0x1fff) ||
         (c >= 0x200c && c <= 0x200d) || (c >= 0x2070 && c <= 0x218f) ||
         (c >= 0x2c00 && c <= 0x2fef) || (c >= 0x3001 && c <= 0xd7ff) ||
         (c >= 0xf900 && c <= 0xfdcf) || (c >= 0xfdf0 && c <= 0xfffd) ||
         (c >= 0x10000 && c <= 0xeffff);
}

bool IsNameChar(char32_t c) {
  return IsNameStart(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xb7 ||
         (c >= 0x300 && c <= 0x36f) || (c >= 0x203f && c <= 0x2040);
}

bool IsValidName(std::string_view name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size();) {
    char32_t c = 0;
    size_t n = ReadChar(name, i, &c);
    if (n == 0 || !(i == 0 ? IsNameStart(c) : IsNameChar(c))) return false;
    i += n;
  }
  return true;
}

// The same rules for a name of ASCII bytes only, written out as bytes.
bool IsValidAsciiName(std::string_view name) {
  auto start = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (name.empty() || !start(name[0])) return false;
  for (char c : name)
    if (!start(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  return true;
}

// A reader of the transaction text: a cursor over it and the open elements.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // Reads the whole text; returns the number of elements without an id
  // attribute (the answers; row elements carry an id).
  size_t ReadDocument() {
    Check(text_.substr(0, 13) == "<TRANSACTION>");
    size_t answers = 0;
    bool root_seen = false;
    while (pos_ < text_.size()) {
      if (text_[pos_] != '<') {
        if (stack_.empty()) {
          // Outside the root only the line end after it.
          Check(root_seen && text_.substr(pos_) == "\r\n");
          pos_ = text_.size();
          break;
        }
        ReadText();
        continue;
      }
      Check(!(stack_.empty() && root_seen));  // a second root element
      if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
        pos_ += 2;
        std::string_view name = ReadName();
        Check(!stack_.empty() && stack_.back() == name);
        stack_.pop_back();
        Expect('>');
        continue;
      }
      ++pos_;
      std::string_view name = ReadName();
      if (stack_.empty()) {
        Check(name == "TRANSACTION");
        root_seen = true;
      }
      bool has_id = false, has_name = false;
      while (pos_ < text_.size() && text_[pos_] == ' ') {
        ++pos_;
        std::string_view attribute = ReadName();
        Check(attribute == "id" || attribute == "name");
        bool& seen = attribute == "id" ? has_id : has_name;
        Check(!seen);
        seen = true;
        Expect('=');
        Expect('"');
        ReadAttributeValue();
      }
      Expect('>');
      if (!stack_.empty() && !has_id) ++answers;
      stack_.push_back(name);
    }
    Check(root_seen && stack_.empty());
    return answers;
  }

 private:
  void Expect(char c) {
    Check(pos_ < text_.size() && text_[pos_] == c);
    ++pos_;
  }

  std::string_view ReadName() {
    size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != '>' && text_[pos_] != ' ' &&
           text_[pos_] != '=' && text_[pos_] != '/')
      ++pos_;
    std::string_view name = text_.substr(start, pos_ - start);
    Check(IsValidName(name));
    return name;
  }

  // A reference after '&': a predefined entity or a character reference to
  // a character XML allows.
  void ReadReference() {
    Expect('&');
    size_t end = text_.find(';', pos_);
    Check(end != std::string_view::npos && end - pos_ <= 10);
    std::string_view ref = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    if (ref == "amp" || ref == "lt" || ref == "gt" || ref == "quot" || ref == "apos") return;
    Check(ref.size() >= 2 && ref[0] == '#');
    char32_t c = 0;
    for (char d : ref.substr(1)) {
      Check(d >= '0' && d <= '9');
      c = c * 10 + static_cast<char32_t>(d - '0');
    }
    Check(IsChar(c));
  }

  // One character of text or of an attribute value, which must be one XML allows.
  void ReadTextChar() {
    char32_t c = 0;
    size_t n = ReadChar(text_, pos_, &c);
    Check(n != 0 && IsChar(c));
    pos_ += n;
  }

  void ReadText() {
    while (pos_ < text_.size() && text_[pos_] != '<') {
      Check(text_.substr(pos_, 3) != "]]>");
      if (text_[pos_] == '&') {
        ReadReference();
      } else {
        ReadTextChar();
      }
    }
  }

  void ReadAttributeValue() {
    while (true) {
      Check(pos_ < text_.size() && text_[pos_] != '<');
      if (text_[pos_] == '"') break;
      if (text_[pos_] == '&') {
        ReadReference();
      } else {
        ReadTextChar();
      }
    }
    ++pos_;
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::vector<std::string_view> stack_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const char separator = input[0];
  std::vector<std::string_view> fields;
  for (size_t start = 1; start <= input.size();) {
    size_t end = input.find(separator, start);
    if (end == std::string_view::npos) end = input.size();
    fields.push_back(input.substr(start, end - start));
    start = end + 1;
  }

  tallypad::VarTablePtr vars = tallypad::VarTableNew(fields.size() / 2 + 1);
  size_t written = 0;
  for (size_t i = 0; i < fields.size(); i += 2) {
    tallypad::VarEntry& e = vars->entries[i / 2];
    e.name = std::string(fields[i]);
    if (i + 1 < fields.size()) e.value = std::string(fields[i + 1]);
    if (!e.name->empty() && (*e.name)[0] != '_') ++written;

    // Element names: always valid, left alone once made, and an ASCII name
    // changed exactly when it is not a valid name.
    const std::string element = tallypad::XmlElementName(fields[i]);
    Check(IsValidName(element) && element.find(':') == std::string::npos);
    Check(tallypad::XmlElementName(element) == element);
    if (element == fields[i]) Check(IsValidName(fields[i]));
    bool ascii = true;
    for (char c : fields[i]) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) Check((element == fields[i]) == IsValidAsciiName(fields[i]));
  }

  const std::string text = tallypad::XmlTransactionText(vars.get());
  Reader reader(text);
  Check(reader.ReadDocument() == written);
  return 0;
}
