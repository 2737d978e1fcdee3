// TVellLexer: cuts one SQL text into commands (at semicolons) and each
// command into tokens with 1-based line and column.
//
// The whole text is tokenized by the constructor, so every lexical error
// (codes 1, 2, 3 and 44) is raised before any command of the text can run.
// Not thread-safe; a lexer belongs to the statements parsed from it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/params.h"
#include "engine/sql/reserved_words.h"

namespace kestro {

enum TTokenKind : uint8_t {
  tktNone,             // no token: end of command
  tktString,           // a bare word or an operator symbol
  tktQuotedString,     // text in single or double quotes
  tktBracketedString,  // text in square brackets (identifiers)
  tktInt,
  tktFloat,
  tktReservedWord,
  tktParam,
  tktLeftParenthesis,
  tktRightParenthesis,
  tktComma,
  tktDot,
};

struct TToken {
  TTokenKind kind = tktNone;
  uint8_t code = kNotReservedWord;  // reserved-word code, or 248
  std::string text;   // quoted/bracketed: content with doubled delimiters undone
  std::u16string wide;  // value of a wide-string parameter
  int32_t line = 0;
  int32_t column = 0;
};

struct TSQLCommand {
  std::vector<TToken> tokens;
  size_t cursor = 0;
};

class TVellLexer {
 public:
  // `params` is borrowed and read only here.
  explicit TVellLexer(std::string sql, const TVellParams* params = nullptr);

  const std::string& Text() const { return sql_; }

  // Where the commands of a text end, as the lexer cuts them: the offsets
  // of the separating semicolons (never inside quotes or comments), and
  // whether the text ends inside a quote or a block comment.
  struct TSplit {
    std::vector<size_t> semicolons;
    bool open = false;
  };
  static TSplit Split(const std::string& text);
  int CommandCount() const { return static_cast<int>(commands_.size()); }
  int CurrentCommandIndex() const { return current_; }
  const TSQLCommand& Command(int i) const { return commands_[i]; }

  bool NextCommand();
  bool CurrentToken(TToken& token) const;
  bool NextToken(TToken& token);
  bool PeekToken(TToken& token) const;
  int TokenPosition() const;
  const TToken& SetTokenPosition(int position);
  // True for a reserved word with `code`, or any reserved word for 248.
  static bool IsReservedWord(const TToken& token, uint8_t code);

 private:
  TSQLCommand* Cmd();
  const TSQLCommand* Cmd() const;

  std::string sql_;
  std::vector<TSQLCommand> commands_;
  int current_ = -1;
};

}  // namespace kestro
