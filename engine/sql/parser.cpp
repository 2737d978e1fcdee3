#include "engine/sql/parser.h"

#include "engine/common/vtbl_exception.h"

namespace kestro {

bool TVellParser::CurrentToken() { return lexer_->CurrentToken(token_); }

bool TVellParser::Advance() { return lexer_->NextToken(token_); }

bool TVellParser::AdvanceExpecting(TTokenKinds kinds, int errorCode, bool mustExist) {
  const TToken last = token_;
  if (!Advance()) {
    if (mustExist) throw VTblException(1008, {}, {last.line});
    return false;
  }
  if (!kinds.Empty() && errorCode != -1 && !kinds.Has(token_.kind)) {
    if (mustExist) RaiseAtToken(errorCode);
    return false;
  }
  return true;
}

void TVellParser::AdvanceOrFail(int errorCode) {
  const TToken last = token_;
  if (!Advance()) throw VTblException(errorCode, {}, {last.text, last.line, last.column});
}

void TVellParser::RaiseAtToken(int code) const {
  throw VTblException(code, {}, {token_.text, token_.line, token_.column});
}

}  // namespace kestro
