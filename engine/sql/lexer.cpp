#include "engine/sql/lexer.h"

#include "engine/common/locale.h"
#include "engine/common/text.h"
#include "engine/common/vtbl_exception.h"

namespace kestro {
namespace {

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Text and kind of a substituted parameter.
void SubstituteParam(TToken& tok, const TVellParam& p) {
  const TVTblValue& v = p.value;
  const TVellLocale& loc = TVellLocale::Current();
  if (v.isNull) {
    // An unassigned parameter is SQL NULL, never a silent empty text.
    tok.kind = tktString;
    tok.text = "NULL";
    return;
  }
  // A parameter given a value without a declared type takes the value's.
  switch (p.dataType != ftUnknown ? p.dataType : v.type) {
    case ftString:
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftWideString: {
      tok.kind = tktQuotedString;
      TVTblValue copy = v;
      const uint8_t type = p.dataType != ftUnknown ? p.dataType : v.type;
      if (type == ftWideString) {
        ConvertValue(copy, ftWideString, loc);
        tok.wide = copy.w;
        tok.text = Utf16ToUtf8(copy.w);
      } else {
        ConvertValue(copy, type, loc);
        ConvertValue(copy, ftString, loc);
        tok.text = copy.s;
      }
      return;
    }
    case ftSmallInt:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeInt: {
      TVTblValue copy = v;
      ConvertValue(copy, p.dataType != ftUnknown ? p.dataType : v.type, loc);
      tok.kind = tktInt;
      tok.text = std::to_string(copy.i);
      return;
    }
    case ftFloat:
    case ftCurrency:
    case ftBCD: {
      TVTblValue copy = v;
      ConvertValue(copy, ftFloat, loc);
      tok.kind = tktFloat;
      tok.text = FloatToStrInvariant(copy.f);  // '.' whatever the locale
      return;
    }
    case ftBoolean: {
      TVTblValue copy = v;
      ConvertValue(copy, ftBoolean, loc);
      tok.kind = tktString;
      tok.text = copy.i ? "True" : "False";
      return;
    }
    default:
      tok.kind = tktString;
      tok.text = v.type == ftString ? v.s : ValueToText(v);
      return;
  }
}

class Tokenizer {
 public:
  Tokenizer(const std::string& text, const TVellParams* params,
            std::vector<TSQLCommand>& commands)
      : t_(text), params_(params), commands_(commands) {}

  void Run() {
    const size_t n = t_.size();
    while (pos_ < n) {
      const char c = t_[pos_];
      const char next = pos_ + 1 < n ? t_[pos_ + 1] : '\0';
      if (c == '-' && next == '-') {
        const size_t lf = t_.find('\n', pos_);
        if (lf == std::string::npos) {
          pos_ = n;
        } else {
          pos_ = lf + 1;
          ++line_;
          col_ = 1;
        }
        continue;
      }
      if (c == '/' && next == '*') {
        Advance();
        Advance();
        while (pos_ < n && !(t_[pos_] == '*' && pos_ + 1 < n && t_[pos_ + 1] == '/')) Advance();
        if (pos_ < n) {
          Advance();
          Advance();
        } else {
          openComment_ = true;
        }
        continue;
      }
      if (c == ';') {
        if (split_ != nullptr) split_->semicolons.push_back(pos_);
        EndCommand();
        Advance();
        continue;
      }
      if (IsWhite(c)) {
        EndToken();
        Advance();
        continue;
      }
      if (open_) {
        if (!IsDelimiter(c)) {
          if (tok_.kind == tktDot) tok_.kind = tktInt;  // a digit after '.'
          if (split_ == nullptr && tok_.kind == tktInt && !IsDigit(c) && c != '.' && c != 'e' && c != 'E' &&
              c != '+' && c != '-')
            throw VTblException(44, {}, {std::string(1, c), line_, col_});
          tok_.text += c;
          Advance();
          continue;
        }
        EndToken();
      }
      StartToken(c, next);
    }
    EndCommand();
    if (split_ != nullptr) split_->open = openComment_ || unterminated_;
  }

  // Only finds the command ends: no errors, no substitution.
  void SplitOnly(TVellLexer::TSplit* split) { split_ = split; }

 private:
  // Columns count characters: UTF-8 continuation bytes do not advance them.
  void Advance() {
    const char c = t_[pos_++];
    if (c == '\n') {
      ++line_;
      col_ = 1;
    } else if (c != '\r' && (static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++col_;
    }
  }

  bool IsDelimiter(char c) const {
    switch (c) {
      case '>': case '<': case '=': case '(': case ')': case ',': case '/': case '*': case ':':
      case '|':
        return true;
      default: break;
    }
    const char prev = pos_ > 0 ? t_[pos_ - 1] : '\0';
    switch (tok_.kind) {
      case tktDot: return !IsDigit(c);
      case tktInt: return (c == '+' || c == '-') && prev != 'e' && prev != 'E';
      case tktString: return c == '.' || c == '+' || c == '-';
      default: return c == '.';
    }
  }

  TSQLCommand& Command() {
    if (!inCommand_) {
      commands_.emplace_back();
      inCommand_ = true;
      depth_ = 0;
      unterminated_ = false;
    }
    return commands_.back();
  }

  void Begin(TTokenKind kind) {
    Command();
    tok_ = TToken{};
    tok_.kind = kind;
    tok_.line = line_;
    tok_.column = col_;
    open_ = true;
  }

  void StartToken(char c, char next) {
    switch (c) {
      case '\'':
      case '"':
      case '[':
        ReadQuoted(c);
        return;
      case '(':
      case ')':
      case ',':
        Begin(c == '(' ? tktLeftParenthesis : c == ')' ? tktRightParenthesis : tktComma);
        if (c != ',') {
          depth_ += c == '(' ? 1 : -1;
          (c == '(' ? lastOpen_ : lastClose_) = {line_, col_};
        }
        tok_.text = c;
        Advance();
        EndToken();
        return;
      case '.':
        Begin(tktDot);
        tok_.text = c;
        Advance();
        return;
      default: break;
    }
    Begin(IsDigit(c) ? tktInt : tktString);
    tok_.text = c;
    Advance();
    switch (c) {
      case '-': case '+': case '*': case '/': case '=':
        EndToken();
        return;
      case '|':
      case '<':
      case '>':
        if ((c == '|' && next == '|') || (c == '<' && (next == '=' || next == '>')) ||
            (c == '>' && next == '=')) {
          tok_.text += next;
          Advance();
        }
        EndToken();
        return;
      default: return;
    }
  }

  void ReadQuoted(char quote) {
    Begin(quote == '[' ? tktBracketedString : tktQuotedString);
    const char close = quote == '[' ? ']' : quote;
    const int32_t line = line_, col = col_;
    Advance();
    const size_t n = t_.size();
    for (;;) {
      if (pos_ >= n) {
        unterminated_ = true;
        unterminatedAt_ = {line, col};
        break;
      }
      const char c = t_[pos_];
      if (c == close) {
        if (pos_ + 1 < n && t_[pos_ + 1] == close) {
          tok_.text += c;
          Advance();
          Advance();
          continue;
        }
        Advance();
        break;
      }
      tok_.text += c;
      Advance();
    }
    EndToken();
  }

  void EndToken() {
    if (!open_) return;
    open_ = false;
    if (tok_.kind == tktInt && tok_.text.find_first_of(".eE") != std::string::npos)
      tok_.kind = tktFloat;
    if (tok_.kind == tktString && tok_.text[0] == ':') {
      tok_.kind = tktParam;
      tok_.text.erase(0, 1);
      if (params_ != nullptr) SubstituteParam(tok_, params_->ParamByName(tok_.text));
    }
    if (tok_.kind == tktString || tok_.kind == tktParam) {
      const uint8_t code = ReservedWordCode(tok_.text);
      if (code != kNotReservedWord) {
        tok_.kind = tktReservedWord;
        tok_.code = code;
      }
    }
    commands_.back().tokens.push_back(std::move(tok_));
  }

  void EndCommand() {
    EndToken();
    if (!inCommand_) return;
    inCommand_ = false;
    if (split_ != nullptr) {
      depth_ = 0;
      return;
    }
    if (depth_ > 0) throw VTblException(1, {}, {lastOpen_.line, lastOpen_.col});
    if (depth_ < 0) throw VTblException(2, {}, {lastClose_.line, lastClose_.col});
    if (unterminated_) throw VTblException(3, {}, {unterminatedAt_.line, unterminatedAt_.col});
  }

  struct Pos {
    int32_t line = 0, col = 0;
  };

  const std::string& t_;
  const TVellParams* params_;
  std::vector<TSQLCommand>& commands_;
  size_t pos_ = 0;
  int32_t line_ = 1, col_ = 1;
  bool open_ = false;
  bool inCommand_ = false;
  TToken tok_;
  int depth_ = 0;
  Pos lastOpen_, lastClose_, unterminatedAt_;
  bool unterminated_ = false;
  bool openComment_ = false;
  TVellLexer::TSplit* split_ = nullptr;
};

}  // namespace

TVellLexer::TSplit TVellLexer::Split(const std::string& text) {
  TSplit split;
  std::vector<TSQLCommand> commands;
  Tokenizer tokenizer(text, nullptr, commands);
  tokenizer.SplitOnly(&split);
  tokenizer.Run();
  return split;
}

TVellLexer::TVellLexer(std::string sql, const TVellParams* params) : sql_(std::move(sql)) {
  Tokenizer(sql_, params, commands_).Run();
}

TSQLCommand* TVellLexer::Cmd() {
  return current_ >= 0 && current_ < CommandCount() ? &commands_[current_] : nullptr;
}

const TSQLCommand* TVellLexer::Cmd() const {
  return current_ >= 0 && current_ < CommandCount() ? &commands_[current_] : nullptr;
}

bool TVellLexer::NextCommand() {
  if (current_ < CommandCount()) ++current_;
  return current_ < CommandCount();
}

bool TVellLexer::CurrentToken(TToken& token) const {
  const TSQLCommand* c = Cmd();
  if (c == nullptr || c->cursor >= c->tokens.size()) {
    token = TToken{};
    return false;
  }
  token = c->tokens[c->cursor];
  return true;
}

bool TVellLexer::NextToken(TToken& token) {
  if (TSQLCommand* c = Cmd()) ++c->cursor;  // moves even past the end
  return CurrentToken(token);
}

bool TVellLexer::PeekToken(TToken& token) const {
  const TSQLCommand* c = Cmd();
  if (c == nullptr || c->cursor >= c->tokens.size() || c->cursor + 1 >= c->tokens.size()) {
    token = TToken{};
    return false;
  }
  token = c->tokens[c->cursor + 1];
  return true;
}

int TVellLexer::TokenPosition() const {
  const TSQLCommand* c = Cmd();
  return c ? static_cast<int>(c->cursor) : 0;
}

const TToken& TVellLexer::SetTokenPosition(int position) {
  static const TToken kNone{};
  TSQLCommand* c = Cmd();
  if (c == nullptr) return kNone;
  c->cursor = position < 0 ? 0 : static_cast<size_t>(position);
  return c->cursor < c->tokens.size() ? c->tokens[c->cursor] : kNone;
}

bool TVellLexer::IsReservedWord(const TToken& token, uint8_t code) {
  return token.kind == tktReservedWord && (token.code == code || code == kNotReservedWord);
}

}  // namespace kestro
