// TVellParser: the base of the expression parser and of every SQL
// statement. It reads a lexer (borrowed) through a copy of the current token
// and offers the advance-and-check steps that raise the syntax messages.
#pragma once

#include <initializer_list>

#include "engine/sql/lexer.h"

namespace kestro {

// A set of token kinds.
class TTokenKinds {
 public:
  TTokenKinds() = default;
  TTokenKinds(std::initializer_list<TTokenKind> kinds) {
    for (TTokenKind k : kinds) bits_ |= 1u << k;
  }
  bool Empty() const { return bits_ == 0; }
  bool Has(TTokenKind k) const { return (bits_ >> k) & 1u; }

 private:
  unsigned bits_ = 0;
};

// The usual kinds of "a name".
inline const TTokenKinds kNameKinds{tktString, tktQuotedString, tktBracketedString,
                                    tktReservedWord};

class TVellParser {
 public:
  explicit TVellParser(TVellLexer* lexer) : lexer_(lexer) {}
  virtual ~TVellParser() = default;

  virtual void Parse() = 0;

  TVellLexer* Lexer() const { return lexer_; }
  const TToken& Token() const { return token_; }

  // Reloads the copy of the current token; false past the end.
  bool CurrentToken();
  bool Advance();
  // Advances; raises 1008 at the end when `mustExist`; when `kinds` is not
  // empty and `errorCode` is not -1 the new token must be of those kinds,
  // else `errorCode` (with `mustExist`) or false.
  bool AdvanceExpecting(TTokenKinds kinds, int errorCode, bool mustExist);
  // Advances; raises `errorCode` with the last token when none follows.
  void AdvanceOrFail(int errorCode);

  // Raises `code` with the current token's text, line and column.
  [[noreturn]] void RaiseAtToken(int code) const;

 protected:
  TVellLexer* lexer_;
  TToken token_;
};

}  // namespace kestro
