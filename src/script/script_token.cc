// The script tokenizer and the raw readers beside it. Tokens are read
// straight from the page's reader; the character that ended a token has
// already been consumed and is handed back as the lookahead, which the next
// read starts with.
#include <string_view>

#include "script/script.h"
#include "script/script_read.h"

namespace tallypad {

namespace {

// Characters that are a token by themselves.
constexpr std::string_view kSingleTokens = "#*-/,;{}()[]";
// Characters that end a word (besides blanks, tabs, CR, LF and NUL).
constexpr std::string_view kWordEnds = "#*-/,;{}()[]<>+=";

bool IsBlankOrTab(int c) { return c == ' ' || c == '\t'; }
// Bytes skipped before a token: blanks, tabs, CR, LF and NUL.
bool IsSkipped(int c) { return c == 0 || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsIn(std::string_view set, int c) {
  return c > 0 && set.find(static_cast<char>(c)) != std::string_view::npos;
}

// Skips blanks and tabs starting with `c`; returns the first other byte.
int SkipBlanks(PageReader& page, int c) {
  while (IsBlankOrTab(c)) c = page.Get();
  return c;
}

// Appends to a token while it has room; bytes beyond are dropped.
class TokenWriter {
 public:
  TokenWriter(std::string* token, size_t size) : token_(token), keep_(size >= 2 ? size - 2 : 0) {
    token_->clear();
  }
  void Add(int c) {
    if (token_->size() < keep_) token_->push_back(static_cast<char>(c));
  }
  int Length() const { return static_cast<int>(token_->size()); }

 private:
  std::string* token_;
  size_t keep_;
};

// Reads a quoted text after its opening `quote`. Returns the token length,
// or -1 when the page ends inside the text (the text read so far is kept).
int ReadText(PageReader& page, int quote, TokenWriter& out, int* lookahead) {
  out.Add('\'');
  for (;;) {
    int c = page.Get();
    if (c == '\\') {
      c = page.Get();
      if (c == 'n') c = '\n';
      else if (c == 'r') c = '\r';
      else if (c == 't') c = '\t';
    } else if (c == quote) {
      break;
    }
    if (c == EOF) {
      *lookahead = -1;
      return -1;
    }
    out.Add(c);
  }
  *lookahead = ' ';
  return out.Length();
}

// Reads a word whose first byte `c` has been read.
int ReadWord(PageReader& page, int c, TokenWriter& out, int* lookahead) {
  out.Add(c);
  for (;;) {
    c = page.Get();
    if (c == EOF || IsSkipped(c) || IsIn(kWordEnds, c)) break;
    // "%>" ends the block even right after a word ("x = y%>"): the '%' is
    // handed back as the lookahead and the '>' left for the next read.
    if (c == '%' && ScriptBlockEndFollows(page)) {
      page.Unget();
      break;
    }
    out.Add(c);
  }
  if (IsBlankOrTab(c)) c = SkipBlanks(page, c);
  *lookahead = c == EOF ? -1 : c;
  return out.Length();
}

}  // namespace

int ScriptNextToken(PageReader& page, std::string* token, size_t size, int* lookahead) {
  TokenWriter out(token, size);
  int c = *lookahead;
  if (c == -1) return -1;
  while (IsSkipped(c)) c = page.Get();
  if (c == EOF) {
    *lookahead = -1;
    return -1;
  }

  if (IsIn(kSingleTokens, c)) {
    out.Add(c);
    *lookahead = ' ';
    return out.Length();
  }

  if (c == '<' || c == '>' || c == '+' || c == '=') {
    int next = page.Get();
    out.Add(c);
    if (c == '<' && next == '/') {
      // An end tag such as "</script>": everything up to its '>'.
      out.Add(next);
      int d;
      while ((d = page.Get()) != EOF) {
        out.Add(d);
        if (d == '>') break;
      }
      *lookahead = d == EOF ? -1 : ' ';
      return out.Length();
    }
    if (next == '=') {
      out.Add('=');
      if (c == '=') {
        int third = page.Get();
        if (third == '=') {
          out.Add('=');
          *lookahead = ' ';
        } else {
          *lookahead = third == EOF ? -1 : third;
        }
      } else {
        *lookahead = ' ';
      }
      return out.Length();
    }
    next = SkipBlanks(page, next);
    *lookahead = next == EOF ? -1 : next;
    return out.Length();
  }

  if (c == '%') {
    int next = page.Get();
    if (next == '>') {
      *lookahead = -1;
      return -1;
    }
    out.Add(c);
    *lookahead = next == EOF ? -1 : next;
    return out.Length();
  }

  if (c == '"' || c == '\'') return ReadText(page, c, out, lookahead);
  return ReadWord(page, c, out, lookahead);
}

bool ScriptSkipTo(PageReader& page, int stop) {
  int c;
  while ((c = page.Get()) != EOF) {
    if (c == stop) return true;
  }
  return false;
}

bool ScriptReadTo(PageReader& page, int stop, std::string* text) {
  text->clear();
  int c;
  while ((c = page.Get()) != EOF) {
    if (c == stop) return true;
    if (text->size() < kScriptRawTextKeep) text->push_back(static_cast<char>(c));
  }
  return false;
}

bool ScriptBlockEndFollows(PageReader& page) {
  int c = page.Get();
  if (c == '>') return true;
  if (c != EOF) page.Unget();
  return false;
}

}  // namespace tallypad
