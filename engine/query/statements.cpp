#include "engine/query/statements.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <random>

#include "engine/common/text.h"
#include "engine/common/vtbl_exception.h"
#include "engine/dataset/session.h"
#include "engine/dataset/vell_table.h"
#include "engine/query/operators.h"

namespace kestro {
namespace {

bool Is(const TToken& t, uint8_t code) { return TVellLexer::IsReservedWord(t, code); }

bool IsSymbol(const TToken& t, const char* text) { return t.kind == tktString && t.text == text; }

// A bare word: not an operator symbol.
bool IsBareWord(const TToken& t) {
  if (t.kind != tktString || t.text.empty()) return false;
  const unsigned char c = static_cast<unsigned char>(t.text[0]);
  return std::isalpha(c) || c == '_' || c >= 0x80;
}

bool IsName(const TToken& t) {
  return IsBareWord(t) || t.kind == tktQuotedString || t.kind == tktBracketedString ||
         t.kind == tktReservedWord;
}

// An alias written without AS: a word that is no keyword, or a quoted or
// bracketed name.
bool IsAliasToken(const TToken& t) {
  return IsBareWord(t) || t.kind == tktQuotedString || t.kind == tktBracketedString;
}

uint32_t RandomBelow(uint32_t bound) {
  static std::mt19937 engine{std::random_device{}()};
  return std::uniform_int_distribution<uint32_t>(0, bound - 1)(engine);
}

// The AND operands of a condition, each as its own expression.
std::vector<std::unique_ptr<TVTblExpression>> SplitConjuncts(
    std::unique_ptr<TVTblExpression> where) {
  std::vector<std::unique_ptr<TVTblExpression>> out;
  if (!where || where->IsEmpty()) return out;
  std::vector<TVTblNodePtr> stack;
  stack.push_back(where->TakeRoot());
  while (!stack.empty()) {
    TVTblNodePtr node = std::move(stack.back());
    stack.pop_back();
    if (node->Op() == opAnd && dynamic_cast<TVTblExprNodeBoolean*>(node.get()) != nullptr) {
      auto& kids = node->Children();
      for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back(std::move(*it));
      continue;
    }
    out.push_back(std::make_unique<TVTblExpression>(std::move(node)));
  }
  return out;
}

// Offers a condition to the operators, children first; never below an
// outer join. True when one took it.
bool Push(TVellAO& op, std::unique_ptr<TVTblExpression>& condition) {
  auto* join = dynamic_cast<TVellAOJoin*>(&op);
  const bool outer = join != nullptr && join->JoinType() >= 3;
  if (!outer && !dynamic_cast<TVellAOGroupBy*>(&op) && !dynamic_cast<TVellAOUnion*>(&op)) {
    if (op.Left() != nullptr && Push(*op.Left(), condition)) return true;
    if (op.Right() != nullptr && Push(*op.Right(), condition)) return true;
  }
  if (!condition->CanEvaluateOn(op)) return false;
  op.AddFilter(std::move(condition));
  return true;
}

int ColumnOf(TVellAO& op, const TVTblExprNodeField& f) {
  std::vector<int> found;
  if (op.FindColumns(f.Name(), f.Qualifier(), found) == 0) return -1;
  return found[0];
}

// Takes the equalities between `left` and `right` out of `conditions` as
// key column pairs.
void TakeJoinKeys(std::vector<std::unique_ptr<TVTblExpression>>& conditions, TVellAO& left,
                  TVellAO& right, std::vector<int>& leftKeys, std::vector<int>& rightKeys) {
  for (auto it = conditions.begin(); it != conditions.end();) {
    TVTblExprNode* root = (*it)->Root();
    if (root == nullptr || !root->IsJoinCondition(left, right)) {
      ++it;
      continue;
    }
    auto* a = dynamic_cast<TVTblExprNodeField*>(root->Children()[0].get());
    auto* b = dynamic_cast<TVTblExprNodeField*>(root->Children()[1].get());
    if (!a->CanEvaluateOn(left)) std::swap(a, b);  // written right to left
    leftKeys.push_back(ColumnOf(left, *a));
    rightKeys.push_back(ColumnOf(right, *b));
    it = conditions.erase(it);
  }
}

uint8_t ResultType(uint8_t type) {
  if (type == ftAutoInc) return ftInteger;
  if (type == 0) return ftString;
  return type;
}

}  // namespace

// ---- helpers ---------------------------------------------------------------------------------

std::unique_ptr<TVellTable> MakeStatementTable(TVellSQLContext& query, const std::string& table,
                                               bool inMemory, const std::string& password,
                                               const std::string& database) {
  auto t = std::make_unique<TVellTable>();
  t->SetSessionName(query.ContextSessionName());
  if (inMemory) {
    t->SetDatabaseName("MEMORY");
    t->SetInMemory(true);
  } else if (!database.empty()) {
    t->SetDatabaseName(database);
  } else if (!query.ContextDatabaseFileName().empty()) {
    t->SetDatabaseFileName(query.ContextDatabaseFileName());
  } else {
    t->SetDatabaseName(query.ContextDatabaseName());
  }
  if (!inMemory && query.ContextInMemory()) t->SetInMemory(true);
  t->SetTableName(table);
  t->SetPassword(password);
  if (!password.empty()) t->SetEncrypted(true);
  return t;
}

std::string TVellSQLCommand::ReadTableName(int code, int afterMemoryCode) {
  if (Is(token_, rwMEMORY)) {
    inMemory_ = true;
    AdvanceOrFail(afterMemoryCode);
    if (!IsName(token_) || Is(token_, rwMEMORY)) RaiseAtToken(afterMemoryCode);
  } else if (!IsName(token_)) {
    RaiseAtToken(code);
  }
  std::string name = token_.text;
  Advance();
  return name;
}

// ---- SELECT ----------------------------------------------------------------------------------

TVellSQLSelect::TVellSQLSelect(TVellLexer* lexer, bool fromOnly)
    : TVellSQLCommand(lexer), fromOnly_(fromOnly) {
  CurrentToken();
  Parse();
}

std::unique_ptr<TVTblExpression> TVellSQLSelect::ParseExpression(bool condition) {
  auto e = std::make_unique<TVTblExpression>(lexer_);
  condition ? e->ParseCondition() : e->ParseValue();
  CurrentToken();
  return e;
}

void TVellSQLSelect::ParseSelectList() {
  if (IsSymbol(token_, "*")) {
    star = true;
    Advance();
    return;
  }
  bool first = true;
  for (;;) {
    if (token_.kind == tktNone) RaiseAtToken(first ? 1017 : 1021);
    TVTblSelectListItem item;
    const auto& tokens = lexer_->Command(lexer_->CurrentCommandIndex()).tokens;
    const size_t at = size_t(lexer_->TokenPosition());
    if (IsName(token_) && at + 2 < tokens.size() && tokens[at + 1].kind == tktDot &&
        IsSymbol(tokens[at + 2], "*")) {
      item.qualifier = token_.text;
      item.allColumns = true;
      item.columnName = "*";
      Advance(), Advance(), Advance();
    } else {
      if (first && Is(token_, rwFROM)) RaiseAtToken(1017);
      std::unique_ptr<TVTblExpression> e = ParseExpression(false);
      if (e->IsEmpty()) RaiseAtToken(1090);
      if (Is(token_, rwAS)) {
        AdvanceOrFail(1010);
        if (!IsAliasToken(token_) && token_.kind != tktReservedWord) RaiseAtToken(1010);
        item.alias = token_.text;
        Advance();
      } else if (IsAliasToken(token_)) {
        item.alias = token_.text;
        Advance();
      }
      if (e->IsField()) {
        e->FieldNameOf(item.qualifier, item.columnName);
      } else {
        item.isExpression = true;
        item.expression = std::shared_ptr<TVTblExpression>(e.release());
      }
    }
    items.push_back(std::move(item));
    first = false;
    if (token_.kind != tktComma) return;
    AdvanceOrFail(1021);
  }
}

std::unique_ptr<TVTblTableReference> TVellSQLSelect::ParseSimpleReference() {
  if (token_.kind == tktLeftParenthesis) {
    AdvanceOrFail(1015);
    auto inner = ParseTableReference();
    if (token_.kind != tktRightParenthesis) RaiseAtToken(1022);
    Advance();
    return inner;
  }
  auto ref = std::make_unique<TVTblTableReference>();
  if (Is(token_, rwMEMORY)) {
    ref->inMemory = true;
    AdvanceOrFail(1019);
  }
  if (!IsName(token_)) RaiseAtToken(1015);
  ref->tableName = token_.text;
  Advance();
  if (token_.kind == tktDot) {
    AdvanceOrFail(1020);
    if (!IsName(token_)) RaiseAtToken(1020);
    ref->database = ref->tableName;
    ref->tableName = token_.text;
    Advance();
  }
  if (Is(token_, rwAS)) {
    AdvanceOrFail(1018);
    if (!IsName(token_)) RaiseAtToken(1018);
    ref->alias = token_.text;
    Advance();
  } else if (IsAliasToken(token_)) {
    ref->alias = token_.text;
    Advance();
  }
  if (Is(token_, rwPASSWORD)) {
    AdvanceOrFail(1058);
    if (token_.kind != tktQuotedString) RaiseAtToken(1058);
    ref->password = token_.text;
    Advance();
  }
  return ref;
}

std::unique_ptr<TVTblTableReference> TVellSQLSelect::ParseTableReference() {
  std::unique_ptr<TVTblTableReference> ref = ParseSimpleReference();
  for (;;) {
    int type = -1;
    bool natural = false;
    if (Is(token_, rwCROSS)) {
      type = 0;
      AdvanceOrFail(1025);
    } else {
      if (Is(token_, rwNATURAL)) {
        natural = true;
        AdvanceOrFail(1026);
      }
      if (Is(token_, rwINNER))
        type = 1, AdvanceOrFail(1027);
      else if (Is(token_, rwLEFT))
        type = 3, AdvanceOrFail(1028);
      else if (Is(token_, rwRIGHT))
        type = 4, AdvanceOrFail(1029);
      else if (Is(token_, rwFULL))
        type = 5, AdvanceOrFail(1030);
      if (type > 1 && Is(token_, rwOUTER)) AdvanceOrFail(1031);
      if (type < 0 && Is(token_, rwJOIN)) type = 1;
      if (type < 0 && natural)
        throw VTblException(1024, {}, {"JOIN", token_.text, token_.line, token_.column});
    }
    if (type < 0) return ref;
    if (!Is(token_, rwJOIN))
      throw VTblException(1024, {}, {"JOIN", token_.text, token_.line, token_.column});
    AdvanceOrFail(1032);
    auto join = std::make_unique<TVTblTableReference>();
    join->kind = 1;
    join->joinType = type;
    join->natural = natural;
    join->left = std::move(ref);
    join->right = ParseSimpleReference();
    if (Is(token_, rwON)) {
      Advance();
      join->on = ParseExpression(true);
    } else if (Is(token_, rwUSING)) {
      Advance();
      if (token_.kind != tktLeftParenthesis) RaiseAtToken(1033);
      do {
        AdvanceOrFail(1033);
        if (!IsName(token_)) RaiseAtToken(1033);
        join->usingColumns.push_back(token_.text);
        Advance();
      } while (token_.kind == tktComma);
      if (token_.kind != tktRightParenthesis) RaiseAtToken(1033);
      Advance();
    }
    ref = std::move(join);
  }
}

void TVellSQLSelect::Parse() {
  if (!fromOnly_) {
    if (!Is(token_, rwSELECT)) RaiseAtToken(1005);
    AdvanceOrFail(1017);
    if (Is(token_, rwALL)) {
      AdvanceOrFail(1017);
    } else if (Is(token_, rwDISTINCT)) {
      distinct = true;
      AdvanceOrFail(1017);
    }
    if (Is(token_, rwTOP)) {
      AdvanceOrFail(1091);
      if (token_.kind != tktInt) RaiseAtToken(1091);
      topCount = std::stoi(token_.text);
      AdvanceOrFail(1017);
      if (token_.kind == tktComma) {
        AdvanceOrFail(1092);
        if (token_.kind != tktInt) RaiseAtToken(1092);
        topStart = std::stoi(token_.text);
        AdvanceOrFail(1017);
      }
    }
    ParseSelectList();
  } else {
    star = true;
  }
  if (Is(token_, rwINTO)) {
    AdvanceOrFail(1015);
    if (Is(token_, rwMEMORY)) {
      intoMemory = true;
      AdvanceOrFail(1015);
    }
    if (!IsName(token_)) RaiseAtToken(1015);
    intoTable = token_.text;
    Advance();
    if (token_.kind == tktDot) {
      AdvanceOrFail(1015);
      intoDatabase = intoTable;
      intoTable = token_.text;
      Advance();
    }
  }
  if (!Is(token_, rwFROM)) RaiseAtToken(1014);
  AdvanceOrFail(1015);
  from.push_back(ParseTableReference());
  while (token_.kind == tktComma) {
    AdvanceOrFail(1016);
    from.push_back(ParseTableReference());
  }
  if (Is(token_, rwWHERE)) {
    Advance();
    where = ParseExpression(true);
    if (!star) where->ResolveAliases(items);
  }
  if (Is(token_, rwGROUP)) {
    Advance();
    if (!Is(token_, rwBY))
      throw VTblException(1063, {}, {"BY", token_.text, token_.line, token_.column});
    AdvanceOrFail(1064);
    for (;;) {
      if (!IsName(token_)) RaiseAtToken(1065);
      TVTblColumnName c{{}, token_.text};
      Advance();
      if (token_.kind == tktDot) {
        AdvanceOrFail(1066);
        if (!IsName(token_)) RaiseAtToken(1066);
        c.qualifier = c.name;
        c.name = token_.text;
        Advance();
      }
      groupBy.push_back(c);
      if (token_.kind != tktComma) break;
      AdvanceOrFail(1046);
    }
  }
  if (Is(token_, rwHAVING)) {
    Advance();
    having = ParseExpression(true);
    if (!star) having->ResolveAliases(items);
  }
  if (Is(token_, rwORDER)) {
    Advance();
    if (!Is(token_, rwBY))
      throw VTblException(1045, {}, {"BY", token_.text, token_.line, token_.column});
    AdvanceOrFail(1047);
    for (;;) {
      if (!IsName(token_)) RaiseAtToken(1049);
      TVTblSortSpecification s;
      s.column = token_.text;
      Advance();
      if (token_.kind == tktDot) {
        AdvanceOrFail(1049);
        if (!IsName(token_)) RaiseAtToken(1049);
        s.qualifier = s.column;
        s.column = token_.text;
        Advance();
      }
      if (Is(token_, rwDESC)) {
        s.descending = true;
        Advance();
      } else if (Is(token_, rwASC)) {
        Advance();
      }
      orderBy.push_back(s);
      if (token_.kind != tktComma) break;
      AdvanceOrFail(1048);
    }
  }
}

std::unique_ptr<TVellAO> TVellSQLSelect::BuildOperator(TVellSQLContext& query) {
  std::vector<std::unique_ptr<TVTblExpression>> conditions = SplitConjuncts(std::move(where));
  // Inputs: each reference, joined left-deep.
  std::function<std::unique_ptr<TVellAO>(TVTblTableReference&)> build =
      [&](TVTblTableReference& r) {
        if (r.kind == 0)
          return std::unique_ptr<TVellAO>(std::make_unique<TVellAOTable>(
              query, r.database, r.tableName, r.alias, r.password, r.inMemory));
        std::unique_ptr<TVellAO> left = build(*r.left);
        std::unique_ptr<TVellAO> right = build(*r.right);
        std::vector<int> lk, rk;
        std::vector<std::unique_ptr<TVTblExpression>> on = SplitConjuncts(std::move(r.on));
        if (!r.usingColumns.empty() || r.natural) {
          std::vector<std::string> names = r.usingColumns;
          if (r.natural)
            for (const auto& a : left->Columns())
              for (const auto& b : right->Columns())
                if (SameTextAscii(a.name, b.name)) names.push_back(a.name);
          for (const std::string& n : names) {
            std::vector<int> a, b;
            if (left->FindColumns(n, {}, a) != 1)
              throw VTblException(20, {}, {left->Name(), n, 0, int(a.size())});
            if (right->FindColumns(n, {}, b) != 1)
              throw VTblException(21, {}, {right->Name(), n, 0, int(b.size())});
            lk.push_back(a[0]);
            rk.push_back(b[0]);
          }
        } else if (r.joinType != 0) {
          TakeJoinKeys(on, *left, *right, lk, rk);
          if (lk.empty()) TakeJoinKeys(conditions, *left, *right, lk, rk);
        }
        const int type = lk.empty() ? 0 : r.joinType;
        auto join = std::make_unique<TVellAOJoin>(std::move(left), std::move(right), type, lk, rk);
        for (auto& c : on)
          if (!Push(*join, c)) throw VTblException(1069, {}, {c->SQLText()});
        return std::unique_ptr<TVellAO>(std::move(join));
      };
  std::unique_ptr<TVellAO> root = build(*from[0]);
  for (size_t i = 1; i < from.size(); ++i) {
    std::unique_ptr<TVellAO> right = build(*from[i]);
    std::vector<int> lk, rk;
    TakeJoinKeys(conditions, *root, *right, lk, rk);
    root = std::make_unique<TVellAOJoin>(std::move(root), std::move(right), lk.empty() ? 0 : 1, lk,
                                         rk);
  }
  const bool grouping =
      !groupBy.empty() ||
      (!star && std::any_of(items.begin(), items.end(), [](const TVTblSelectListItem& it) {
        return it.isExpression && it.expression->IsAggregate();
      }));
  if (!grouping && root->IsTableScan() && !star &&
      std::any_of(items.begin(), items.end(),
                  [](const TVTblSelectListItem& it) { return it.isExpression; }))
    root = std::make_unique<TVellAOTableExpr>(std::move(root));
  auto pushAll = [&] {
    for (auto it = conditions.begin(); it != conditions.end();)
      it = Push(*root, *it) ? conditions.erase(it) : it + 1;
  };
  pushAll();
  if (grouping) {
    std::vector<int> groupColumns;
    for (size_t i = 0; i < groupBy.size(); ++i) {
      std::vector<int> found;
      const int n = root->FindColumns(groupBy[i].name, groupBy[i].qualifier, found);
      if (n != 1) throw VTblException(46, {}, {root->Name(), groupBy[i].name, int(i), n});
      groupColumns.push_back(found[0]);
    }
    auto group = std::make_unique<TVellAOGroupBy>(std::move(root), groupColumns, groupBy.empty());
    if (having) group->SetHaving(std::move(having));
    root = std::move(group);
  }
  root->SetSelectList(items, star, distinct);
  pushAll();
  if (!conditions.empty()) throw VTblException(1069, {}, {conditions.front()->SQLText()});
  std::string fields, descending;
  for (const TVTblSortSpecification& s : orderBy) {
    std::vector<int> found;
    root->FindColumns(s.column, s.qualifier, found);
    if (!grouping)
      found.erase(std::remove_if(found.begin(), found.end(),
                                 [&](int p) {
                                   return root->Columns()[size_t(p)].hidden && !root->IsTableScan();
                                 }),
                  found.end());
    if (found.empty()) throw VTblException(1051, {}, {s.column});
    const std::string& name = root->Columns()[size_t(found[0])].name;
    fields += (fields.empty() ? "" : ";") + name;
    if (s.descending) descending += (descending.empty() ? "" : ";") + name;
  }
  root->SetIndexWish(fields, descending);
  root->SetLimit(topStart, topCount);
  return root;
}

// ---- query expressions -----------------------------------------------------------------------

TVellSQLCursorCommand::~TVellSQLCursorCommand() = default;

TVellSQLUnion::TVellSQLUnion(TVellLexer* lexer) : TVellSQLCursorCommand(lexer) {
  CurrentToken();
  Parse();
}

TVellSQLUnion::~TVellSQLUnion() {
  root_.reset();
  tree_.reset();
  if (!result_) return;
  // The temporary result table goes with the statement.
  try {
    const std::string name = result_->TableName();
    const std::string session = result_->SessionName();
    result_->Close();
    result_.reset();
    TVellTable t;
    t.SetSessionName(session);
    t.SetDatabaseName("MEMORY");
    t.SetInMemory(true);
    t.SetTableName(name);
    t.DeleteTable();
  } catch (...) {
    // Freeing a statement must not throw.
  }
}

void TVellSQLUnion::Parse() {
  tree_ = ParseQueryExpression();
  if (token_.kind != tktNone) RaiseAtToken(1006);
}

void TVellSQLUnion::ParseCorresponding(TVTblQueryExprNode& node) {
  if (Is(token_, rwALL)) {
    node.all = true;
    AdvanceOrFail(1061);
  }
  if (Is(token_, rwCORRESPONDING)) {
    node.corresponding = true;
    AdvanceOrFail(1061);
    if (Is(token_, rwBY)) {
      AdvanceOrFail(1060);
      if (token_.kind != tktLeftParenthesis) RaiseAtToken(1060);
      do {
        AdvanceOrFail(1060);
        if (!IsName(token_)) RaiseAtToken(1060);
        node.correspondingBy.push_back(token_.text);
        Advance();
      } while (token_.kind == tktComma);
      if (token_.kind != tktRightParenthesis) RaiseAtToken(1060);
      AdvanceOrFail(1061);
    }
  }
}

std::unique_ptr<TVTblQueryExprNode> TVellSQLUnion::ParseQueryExpression() {
  std::unique_ptr<TVTblQueryExprNode> left = ParseQueryTerm();
  while (Is(token_, rwUNION) || Is(token_, rwMINUS) || Is(token_, rwEXCEPT)) {
    auto node = std::make_unique<TVTblQueryExprNode>();
    node->kind = Is(token_, rwUNION) ? 1 : 2;
    AdvanceOrFail(1061);
    ParseCorresponding(*node);
    node->left = std::move(left);
    node->right = ParseQueryTerm();
    left = std::move(node);
  }
  return left;
}

std::unique_ptr<TVTblQueryExprNode> TVellSQLUnion::ParseQueryTerm() {
  std::unique_ptr<TVTblQueryExprNode> left = ParseQueryPrimary();
  while (Is(token_, rwINTERSECT)) {
    auto node = std::make_unique<TVTblQueryExprNode>();
    node->kind = 3;
    AdvanceOrFail(1061);
    ParseCorresponding(*node);
    node->left = std::move(left);
    node->right = ParseQueryPrimary();
    left = std::move(node);
  }
  return left;
}

std::unique_ptr<TVTblQueryExprNode> TVellSQLUnion::ParseQueryPrimary() {
  if (token_.kind == tktLeftParenthesis) {
    AdvanceOrFail(1061);
    std::unique_ptr<TVTblQueryExprNode> inner = ParseQueryExpression();
    if (token_.kind != tktRightParenthesis) RaiseAtToken(1006);
    Advance();
    return inner;
  }
  if (!Is(token_, rwSELECT))
    throw VTblException(1061, {}, {"SELECT", token_.text, token_.line, token_.column});
  auto node = std::make_unique<TVTblQueryExprNode>();
  node->select = std::make_unique<TVellSQLSelect>(lexer_);
  CurrentToken();
  return node;
}

std::unique_ptr<TVellAO> TVellSQLUnion::Build(TVTblQueryExprNode& node, TVellSQLContext& query) {
  if (node.kind == 0) return node.select->BuildOperator(query);
  std::unique_ptr<TVellAO> left = Build(*node.left, query);
  std::unique_ptr<TVellAO> right = Build(*node.right, query);
  const int type = node.kind == 1 ? 0 : node.kind == 3 ? 1 : 2;
  return std::make_unique<TVellAOUnion>(std::move(left), std::move(right), type, node.all,
                                        node.corresponding, node.correspondingBy);
}

std::unique_ptr<TVellAO> TVellSQLUnion::BuildOperator(TVellSQLContext& query) {
  return Build(*tree_, query);
}

void TVellSQLUnion::Execute(TVellSQLContext& query, bool requestCursor) {
  (void)requestCursor;
  root_ = BuildOperator(query);
  root_->Open();
  if (root_->IsTableScan()) {
    live_ = true;
  } else {
    // The rows go to a temporary in-memory result table.
    const std::vector<int> visible = root_->VisibleColumns();
    std::vector<std::vector<TVTblValue>> rows;
    for (bool ok = root_->First(); ok; ok = root_->Next()) {
      std::vector<TVTblValue> row;
      for (int p : visible) {
        TVTblValue v;
        root_->ReadValue(p, v);
        row.push_back(std::move(v));
      }
      rows.push_back(std::move(row));
    }
    std::vector<TVellFieldDef> defs;
    std::vector<std::string> names;
    for (size_t i = 0; i < visible.size(); ++i) {
      const TVTblFieldLink& c = root_->Columns()[size_t(visible[i])];
      TVellFieldDef d;
      d.name = c.name.empty() ? "EXPR" + std::to_string(RandomBelow(100000)) : c.name;
      while (std::any_of(names.begin(), names.end(),
                         [&](const std::string& n) { return SameTextAscii(n, d.name); }))
        d.name += "_1";
      names.push_back(d.name);
      d.type = ResultType(c.type);
      if (d.type == ftString) {
        int32_t longest = std::max(c.size, 1);
        for (const auto& row : rows)
          if (!row[i].isNull) longest = std::max<int32_t>(longest, int32_t(row[i].Text().size()));
        d.size = longest;
      } else if (d.type == ftWideString || d.type == ftBytes) {
        d.size = std::max(c.size, 1);
      }
      defs.push_back(d);
    }
    result_ = std::make_unique<TVellDataset>();
    result_->SetSessionName(query.ContextSessionName());
    result_->MakeTemporaryTable(defs);
    result_->Open();
    for (const auto& row : rows) {
      result_->BeginAppend();
      for (size_t i = 0; i < row.size(); ++i) {
        TVTblValue v = row[i];
        if (!v.isNull && v.type != defs[i].type && !IsBlobType(defs[i].type))
          ConvertValue(v, defs[i].type);
        result_->SetAppendValue(int32_t(i + 1), v);
      }
      result_->EndAppend();
    }
    if (!root_->IndexFields().empty()) {
      // The wish names the root's columns; the result names them the same.
      resultIndex_ = result_->IndexFor(root_->IndexFields(), root_->IndexDescending());
    }
  }
  TVTblQueryExprNode* single = tree_->kind == 0 ? tree_.get() : nullptr;
  if (single != nullptr && !single->select->intoTable.empty()) CopyInto(query, *single->select);
}

void TVellSQLUnion::CopyInto(TVellSQLContext& query, const TVellSQLSelect& select) {
  try {
    auto target =
        MakeStatementTable(query, select.intoTable, select.intoMemory, {}, select.intoDatabase);
    const std::vector<int> visible = root_->VisibleColumns();
    std::vector<TFieldDef> defs;
    for (size_t i = 0; i < visible.size(); ++i) {
      const TVTblFieldLink& c = root_->Columns()[size_t(visible[i])];
      defs.push_back({c.name, ResultType(c.type), c.type == ftString ? std::max(c.size, 1) : 0,
                      false, int32_t(i + 1)});
    }
    target->MutableFieldDefs() = defs;
    target->CreateTable();
    target->MutableFieldDefs().clear();
    target->Open();
    for (bool ok = root_->First(); ok; ok = root_->Next()) {
      target->BeginAppend();
      for (size_t i = 0; i < visible.size(); ++i) {
        TVTblValue v;
        root_->ReadValue(visible[i], v);
        target->SetAppendValue(int32_t(i + 1), v);
      }
      target->EndAppend();
    }
    target->Close();
  } catch (const std::exception& e) {
    throw Exception(e.what());
  }
}

// ---- INSERT ----------------------------------------------------------------------------------

TVellSQLInsert::TVellSQLInsert(TVellLexer* lexer) : TVellSQLCommand(lexer) {
  CurrentToken();
  Parse();
}

void TVellSQLInsert::Parse() {
  AdvanceOrFail(2071);
  if (!Is(token_, rwINTO)) RaiseAtToken(2071);
  AdvanceOrFail(2072);
  table_ = ReadTableName(2072, 2150);
  if (token_.kind == tktNone) RaiseAtToken(2075);
  if (Is(token_, rwPASSWORD)) {
    AdvanceOrFail(2080);
    if (token_.kind != tktQuotedString) RaiseAtToken(2080);
    password_ = token_.text;
    AdvanceOrFail(2079);
  }
  if (token_.kind == tktLeftParenthesis) {
    do {
      AdvanceOrFail(2156);
      if (!IsName(token_)) RaiseAtToken(2156);
      columns_.push_back(token_.text);
      AdvanceOrFail(2074);
    } while (token_.kind == tktComma);
    if (token_.kind != tktRightParenthesis) RaiseAtToken(2074);
    AdvanceOrFail(2076);
  }
  if (Is(token_, rwVALUES)) {
    AdvanceOrFail(2077);
    if (token_.kind != tktLeftParenthesis) RaiseAtToken(2077);
    do {
      AdvanceOrFail(2073);
      auto e = std::make_unique<TVTblExpression>(lexer_);
      e->ParseValue();
      CurrentToken();
      if (e->IsEmpty()) RaiseAtToken(1090);
      values_.push_back(std::move(e));
      if (token_.kind == tktNone) RaiseAtToken(2073);
    } while (token_.kind == tktComma);
    if (token_.kind != tktRightParenthesis) RaiseAtToken(2073);
    Advance();
  } else if (Is(token_, rwSELECT) || token_.kind == tktLeftParenthesis) {
    select_ = std::make_unique<TVellSQLUnion>(lexer_);
    CurrentToken();
  }
  if (token_.kind != tktNone) RaiseAtToken(2068);
}

void TVellSQLInsert::Execute(TVellSQLContext& query, bool) {
  auto t = MakeStatementTable(query, table_, inMemory_, password_);
  t->Open();
  const auto& defs = t->FieldDefs();
  auto fieldFor = [&](size_t i, size_t count) -> int32_t {
    if (columns_.size() == count) {
      for (const TFieldDef& d : defs)
        if (SameTextAscii(d.name, columns_[i])) return d.fieldNo;
      throw VTblException(33, {}, {columns_[i]});
    }
    if (i >= defs.size()) throw VTblException(33, {}, {std::to_string(i + 1)});
    return defs[i].fieldNo;
  };
  auto store = [&](int32_t fieldNo, TVTblValue v, int code) {
    const TFieldDef& d = defs[size_t(fieldNo - 1)];
    if (!v.isNull && v.type != d.dataType && !IsBlobType(d.dataType))
      ConvertValue(v, d.dataType == ftAutoInc ? uint8_t(ftInteger) : d.dataType);
    if (d.dataType == ftAutoInc && !v.isNull && t->RecordIdExists(int32_t(v.i)))
      throw VTblException(code, {}, {int32_t(v.i)});
    t->SetAppendValue(fieldNo, v);
  };
  if (!select_) {
    t->BeginAppend();
    for (size_t i = 0; i < values_.size(); ++i) {
      values_[i]->Bind(t.get());
      store(fieldFor(i, values_.size()), values_[i]->Evaluate(t.get()), 2158);
    }
    t->EndAppend();
  } else {
    select_->Execute(query, false);
    TVellAO* root = select_->ResultOperator();
    const std::vector<int> visible = root->VisibleColumns();
    for (bool ok = root->First(); ok; ok = root->Next()) {
      t->BeginAppend();
      for (size_t i = 0; i < visible.size(); ++i) {
        TVTblValue v;
        root->ReadValue(visible[i], v);
        store(fieldFor(i, visible.size()), v, 2159);
      }
      t->EndAppend();
    }
  }
  t->Close();
}

// ---- UPDATE ----------------------------------------------------------------------------------

TVellSQLUpdate::TVellSQLUpdate(TVellLexer* lexer) : TVellSQLCommand(lexer) {
  CurrentToken();
  Parse();
}

void TVellSQLUpdate::Parse() {
  AdvanceOrFail(2083);
  table_ = ReadTableName(2083, 2151);
  if (Is(token_, rwPASSWORD)) {
    AdvanceOrFail(2084);
    if (token_.kind != tktQuotedString) RaiseAtToken(2084);
    password_ = token_.text;
    Advance();
  }
  if (!Is(token_, rwSET)) RaiseAtToken(2085);
  for (;;) {
    AdvanceOrFail(2087);
    if (!IsName(token_)) RaiseAtToken(2087);
    columns_.push_back(token_.text);
    AdvanceOrFail(2086);
    if (!IsSymbol(token_, "="))
      throw VTblException(2086, {}, {token_.text, token_.line, token_.column});
    AdvanceOrFail(2086);
    auto e = std::make_unique<TVTblExpression>(lexer_);
    e->ParseValue();
    CurrentToken();
    if (e->IsEmpty()) RaiseAtToken(1090);
    values_.push_back(std::move(e));
    if (token_.kind == tktNone || Is(token_, rwWHERE)) break;
    if (token_.kind != tktComma)
      throw VTblException(2088, {}, {",", token_.text, token_.line, token_.column});
  }
  if (Is(token_, rwWHERE)) {
    Advance();
    where_ = std::make_unique<TVTblExpression>(lexer_);
    where_->ParseCondition();
    CurrentToken();
  }
  if (token_.kind != tktNone) RaiseAtToken(2069);
}

void TVellSQLUpdate::Execute(TVellSQLContext& query, bool) {
  TVellAOTable scan(query, {}, table_, {}, password_, inMemory_);
  if (where_ && !where_->IsEmpty()) {
    scan.AddFilter(std::make_unique<TVTblExpression>(where_->Root()->Clone()));
    scan.Dataset().SetConstraint(scan.FilterCondition());
  }
  TVellTable& t = scan.Dataset();
  std::vector<TField*> fields;
  for (size_t i = 0; i < columns_.size(); ++i) {
    fields.push_back(&t.FieldByName(columns_[i]));
    values_[i]->Bind(&scan);
  }
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  int32_t rows = 0;
  // The rows to change are fixed before the first change.
  t.First();
  t.IncUpdateDepth();
  struct Depth {
    TVellTable& t;
    ~Depth() {
      try {
        t.DecUpdateDepth();
      } catch (...) {
      }
    }
  } depth{t};
  for (; !t.Eof(); t.Next()) {
    t.Edit();
    std::vector<TVTblValue> computed;
    for (auto& v : values_) computed.push_back(v->Evaluate(&scan));
    for (size_t i = 0; i < fields.size(); ++i) {
      TVTblValue v = computed[i];
      if (fields[i]->DataType() == ftAutoInc) {
        if (!v.isNull) ConvertValue(v, ftInteger);
        if (!v.isNull && v.i != fields[i]->AsInteger() && t.RecordIdExists(int32_t(v.i))) {
          t.Cancel();
          query.SetRowsAffected(-1);
          throw VTblException(2157, {}, {int32_t(v.i)});
        }
        t.SetEngineFill(true);
        try {
          fields[i]->SetValue(v);
        } catch (...) {
          t.SetEngineFill(false);
          throw;
        }
        t.SetEngineFill(false);
        continue;
      }
      fields[i]->SetValue(v);
    }
    t.Post();
    ++rows;
  }
  query.SetRowsAffected(rows);
}

// ---- DELETE ----------------------------------------------------------------------------------

TVellSQLDelete::TVellSQLDelete(TVellLexer* lexer) : TVellSQLCommand(lexer) {
  CurrentToken();
  Parse();
}

void TVellSQLDelete::Parse() {
  // DELETE stands for "SELECT *": the rest is a SELECT's.
  Advance();
  select_ = std::make_unique<TVellSQLSelect>(lexer_, true);
  CurrentToken();
  if (token_.kind != tktNone) RaiseAtToken(2067);
}

void TVellSQLDelete::Execute(TVellSQLContext& query, bool) {
  std::unique_ptr<TVellAO> root = select_->BuildOperator(query);
  auto* scan = dynamic_cast<TVellAOTable*>(root.get());
  if (scan == nullptr) throw VTblException(1068);
  root->Open();
  TVellTable& t = scan->Dataset();
  const std::lock_guard<std::recursive_mutex> engine(EngineLock());
  // The rows are collected first, then deleted by identifier: deleting
  // through the cursor would rebuild the filtered view after every row.
  int32_t rows = 0;
  for (int32_t id : t.VisibleIds()) rows += t.DeleteById(id) ? 1 : 0;
  query.SetRowsAffected(rows);
}

// ---- CREATE / DROP / ALTER TABLE ---------------------------------------------------------------

void TVellDDLTableManipulation::ExpectCommaOrClose(int code) {
  if (token_.kind != tktComma && token_.kind != tktRightParenthesis) RaiseAtToken(code);
}

void TVellDDLTableManipulation::ParsePrimaryKey() {
  // At KEY.
  AdvanceOrFail(2119);
  if (token_.kind != tktLeftParenthesis) RaiseAtToken(2119);
  do {
    AdvanceOrFail(2119);
    if (!IsBareWord(token_) && token_.kind != tktReservedWord && token_.kind != tktBracketedString)
      RaiseAtToken(2119);
    primaryKey_.push_back(token_.text);
    AdvanceOrFail(2120);
  } while (token_.kind == tktComma);
  if (token_.kind != tktRightParenthesis) RaiseAtToken(2120);
  AdvanceOrFail(2120);
}

void TVellDDLTableManipulation::ParseColumn(bool alter) {
  Column c;
  c.name = token_.text;
  AdvanceOrFail(2006);
  bool typed = false;
  if (token_.kind != tktComma && token_.kind != tktRightParenthesis) {
    if (!alter || !(Is(token_, rwNULL) || Is(token_, rwNOT))) {
      if (!IsName(token_)) RaiseAtToken(2006);
      const uint8_t type = FieldTypeOfSqlName(token_.text);
      if (type == 0) throw VTblException(2007, {}, {token_.text, token_.line, token_.column});
      c.type = type;
      typed = true;
      AdvanceOrFail(2044);
      if (type == ftString || type == ftBytes || type == ftWideString) {
        if (token_.kind != tktLeftParenthesis) RaiseAtToken(2008);
        AdvanceOrFail(2009);
        if (token_.kind != tktInt) RaiseAtToken(2009);
        c.size = std::stoi(token_.text);
        AdvanceOrFail(2010);
        if (token_.kind != tktRightParenthesis) RaiseAtToken(2010);
        AdvanceOrFail(2044);
      }
    }
  }
  (void)typed;
  while (token_.kind != tktComma && token_.kind != tktRightParenthesis) {
    if (Is(token_, rwNULL)) {
      c.nullable = 1;
    } else if (Is(token_, rwNOT)) {
      AdvanceOrFail(2011);
      if (!Is(token_, rwNULL)) RaiseAtToken(2011);
      c.nullable = 0;
    } else if (!IsName(token_)) {
      RaiseAtToken(2044);
    }
    AdvanceOrFail(2044);
  }
  if (!alter && c.type == 0) RaiseAtToken(2006);
  columns_.push_back(c);
}

void TVellDDLTableManipulation::ParseElements(bool alter) {
  if (token_.kind != tktLeftParenthesis) RaiseAtToken(2004);
  do {
    AdvanceOrFail(2005);
    if (Is(token_, rwPASSWORD)) {
      AdvanceOrFail(2016);
      if (token_.kind != tktQuotedString) RaiseAtToken(2016);
      password_ = token_.text;
      AdvanceOrFail(2017);
      ExpectCommaOrClose(2017);
    } else if (alter && Is(token_, rwNEW)) {
      AdvanceOrFail(2016);
      if (!Is(token_, rwPASSWORD)) RaiseAtToken(2016);
      AdvanceOrFail(2016);
      if (token_.kind != tktQuotedString) RaiseAtToken(2016);
      newPassword_ = token_.text;
      newPasswordGiven_ = true;
      AdvanceOrFail(2017);
      ExpectCommaOrClose(2017);
    } else if (Is(token_, rwBLOBCOMPRESSIONLEVEL)) {
      AdvanceOrFail(2019);
      if (!IsBareWord(token_) && token_.kind != tktReservedWord) RaiseAtToken(2019);
      std::string level = token_.text;
      for (char& ch : level) ch = char(std::toupper(static_cast<unsigned char>(ch)));
      const char* names[] = {"NONE", "FASTEST", "DEFAULT", "MAX"};
      compression_ = 0;
      for (int i = 0; i < 4; ++i)
        if (level == names[i]) compression_ = i + 1;
      if (compression_ == 0)
        throw VTblException(2020, {}, {token_.text, token_.line, token_.column});
      AdvanceOrFail(2021);
      ExpectCommaOrClose(2021);
    } else if (Is(token_, rwBLOBBLOCKSIZE)) {
      AdvanceOrFail(2023);
      if (token_.kind != tktInt) RaiseAtToken(2023);
      blobBlockSize_ = std::stoi(token_.text);
      AdvanceOrFail(2024);
      ExpectCommaOrClose(2024);
    } else if (Is(token_, rwLASTAUTOINC)) {
      AdvanceOrFail(2026);
      if (token_.kind != tktInt) RaiseAtToken(2026);
      lastAutoInc_ = std::stoll(token_.text);
      AdvanceOrFail(2027);
      ExpectCommaOrClose(2027);
    } else if (Is(token_, rwAUTOINDEXES) || Is(token_, rwNOAUTOINDEXES)) {
      autoIndexes_ = Is(token_, rwAUTOINDEXES) ? 1 : 0;
      AdvanceOrFail(2017);
      ExpectCommaOrClose(2017);
    } else if (Is(token_, rwPRIMARY) && [&] {
                 TToken next;
                 return lexer_->PeekToken(next) && Is(next, rwKEY);
               }()) {
      Advance();
      ParsePrimaryKey();
      ExpectCommaOrClose(2120);
    } else {
      if (!IsName(token_)) RaiseAtToken(2005);
      ParseColumn(alter);
    }
  } while (token_.kind == tktComma);
  if (token_.kind != tktRightParenthesis) RaiseAtToken(2044);
  Advance();
}

void TVellDDLTableManipulation::ApplyLastAutoInc(TVellTable& table) {
  if (lastAutoInc_ < 0) return;
  table.Open();
  if (table.TableHandle()->Header().lastAutoInc != lastAutoInc_)
    table.TableHandle()->SetLastAutoInc(int32_t(lastAutoInc_));
  table.Close();
}

TVellDDLCreateTable::TVellDDLCreateTable(TVellLexer* lexer) : TVellDDLTableManipulation(lexer) {
  CurrentToken();
  Parse();
}

void TVellDDLCreateTable::Parse() {
  Advance();  // TABLE
  if (!Advance()) throw VTblException(1004);
  if (Is(token_, rwMEMORY)) {
    inMemory_ = true;
    AdvanceOrFail(2003);
  }
  if (!IsBareWord(token_) && token_.kind != tktBracketedString && token_.kind != tktReservedWord)
    RaiseAtToken(2003);
  table_ = token_.text;
  AdvanceOrFail(2004);
  ParseElements(false);
  if (token_.kind != tktNone) RaiseAtToken(2015);
}

void TVellDDLCreateTable::Execute(TVellSQLContext& query, bool) {
  auto t = MakeStatementTable(query, table_, inMemory_, password_);
  if (t->Exists()) throw VTblException(2117, {}, {table_});
  try {
    std::vector<TFieldDef> defs;
    for (const Column& c : columns_)
      defs.push_back({c.name, c.type, c.size, c.nullable == 0, int32_t(defs.size() + 1)});
    t->MutableFieldDefs() = defs;
    if (!primaryKey_.empty()) {
      std::string fields;
      for (const std::string& k : primaryKey_) fields += (fields.empty() ? "" : ",") + k;
      t->SetIndexDefs({{"PK_" + primaryKey_[0] + std::to_string(RandomBelow(100000)), fields, "",
                        "", uint8_t(ixPrimary | ixUnique)}});
    }
    if (autoIndexes_ >= 0) t->SetAutoIndexes(autoIndexes_ == 1);
    if (compression_ > 0) t->SetBLOBCompression(TCompressionLevel(compression_ - 1));
    if (blobBlockSize_ > 0) t->SetBLOBBlockSize(blobBlockSize_);
    t->CreateTable();
    t->MutableFieldDefs().clear();
    ApplyLastAutoInc(*t);
  } catch (const std::exception& e) {
    throw VTblException(2014, {}, {std::string(e.what())});
  }
}

TVellDDLDropTable::TVellDDLDropTable(TVellLexer* lexer) : TVellDDLTableManipulation(lexer) {
  CurrentToken();
  Parse();
}

void TVellDDLDropTable::Parse() {
  Advance();  // TABLE
  if (!Advance()) throw VTblException(2037);
  if (Is(token_, rwMEMORY)) {
    inMemory_ = true;
    AdvanceOrFail(2003);
  }
  if (!IsName(token_)) RaiseAtToken(2003);
  table_ = token_.text;
  Advance();
  if (token_.kind != tktNone) RaiseAtToken(2034);
}

void TVellDDLDropTable::Execute(TVellSQLContext& query, bool) {
  try {
    auto t = MakeStatementTable(query, table_, inMemory_, password_);
    if (!t->Exists()) throw Exception("Table \"" + table_ + "\" does not exist.");
    t->DeleteTable();
  } catch (const std::exception& e) {
    throw VTblException(2033, {}, {std::string(e.what())});
  }
}

TVellDDLAlterTable::TVellDDLAlterTable(TVellLexer* lexer) : TVellDDLTableManipulation(lexer) {
  CurrentToken();
  Parse();
}

void TVellDDLAlterTable::Parse() {
  Advance();  // TABLE
  if (!Advance()) throw VTblException(2039);
  if (Is(token_, rwMEMORY)) {
    inMemory_ = true;
    AdvanceOrFail(2003);
  }
  if (!IsName(token_)) RaiseAtToken(2003);
  table_ = token_.text;
  AdvanceOrFail(2042);
  if (Is(token_, rwADD))
    mode_ = 0;
  else if (Is(token_, rwDROP))
    mode_ = 1;
  else if (Is(token_, rwMODIFY))
    mode_ = 2;
  else
    RaiseAtToken(token_.kind == tktReservedWord ? 2040 : 2041);
  AdvanceOrFail(2042);
  ParseElements(true);
  if (token_.kind != tktNone) RaiseAtToken(2043);
}

void TVellDDLAlterTable::Execute(TVellSQLContext& query, bool) {
  try {
    auto t = MakeStatementTable(query, table_, inMemory_, password_);
    t->Open();
    std::vector<TFieldDef> defs = t->FieldDefs();
    std::vector<TVellIndexDef> indexes = t->IndexDefs();
    const int32_t last = t->TableHandle()->Header().lastAutoInc;
    t->Close();
    auto find = [&](const std::string& name) {
      return std::find_if(defs.begin(), defs.end(),
                          [&](const TFieldDef& d) { return SameTextAscii(d.name, name); });
    };
    for (const Column& c : columns_) {
      if (mode_ == 0) {
        defs.push_back({c.name, c.type, c.size, c.nullable == 0, int32_t(defs.size() + 1)});
      } else if (mode_ == 1) {
        if (auto it = find(c.name); it != defs.end()) defs.erase(it);
      } else {
        auto it = find(c.name);
        if (it == defs.end()) throw VTblException(2048, {}, {c.name});
        if (c.type != 0) it->dataType = c.type, it->size = c.size;
        if (c.nullable >= 0) it->required = c.nullable == 0;
      }
    }
    // The AutoInc comes last in the definitions; the table wants it first.
    std::stable_partition(defs.begin(), defs.end(),
                          [](const TFieldDef& d) { return d.dataType == ftAutoInc; });
    // Indexes over dropped columns go with them.
    indexes.erase(std::remove_if(indexes.begin(), indexes.end(),
                                 [&](const TVellIndexDef& ix) {
                                   if ((ix.options & ixPrimary) != 0) return true;
                                   std::string f;
                                   for (char ch : ix.fields + ";") {
                                     if (ch == ';' || ch == ',') {
                                       if (!f.empty() && find(f) == defs.end()) return true;
                                       f.clear();
                                     } else if (ch != ' ') {
                                       f += ch;
                                     }
                                   }
                                   return false;
                                 }),
                  indexes.end());
    indexes.erase(std::remove_if(indexes.begin(), indexes.end(),
                                 [](const TVellIndexDef& ix) {
                                   return !ix.name.empty() && ix.name[0] == '@';
                                 }),
                  indexes.end());
    if (!primaryKey_.empty()) {
      std::string fields;
      for (const std::string& k : primaryKey_) fields += (fields.empty() ? "" : ",") + k;
      indexes.push_back({"PK_" + primaryKey_[0] + std::to_string(RandomBelow(100000)), fields, "",
                         "", uint8_t(ixPrimary | ixUnique)});
    }
    for (size_t i = 0; i < defs.size(); ++i) defs[i].fieldNo = int32_t(i + 1);
    t->InternalRestructureTable(defs, indexes);
    if (newPasswordGiven_) t->SetPassword(newPassword_);
    if (lastAutoInc_ < 0) lastAutoInc_ = last;
    ApplyLastAutoInc(*t);
  } catch (const std::exception& e) {
    throw VTblException(2047, {}, {std::string(e.what())});
  }
}

// ---- indexes ---------------------------------------------------------------------------------

TVellDDLCreateIndex::TVellDDLCreateIndex(TVellLexer* lexer) : TVellSQLCommand(lexer) {
  CurrentToken();
  Parse();
}

void TVellDDLCreateIndex::Parse() {
  AdvanceOrFail(2052);
  if (Is(token_, rwUNIQUE)) {
    unique_ = true;
    AdvanceOrFail(2052);
    if (token_.kind != tktReservedWord || !Is(token_, rwINDEX)) RaiseAtToken(2052);
  }
  AdvanceOrFail(2053);
  if (!IsName(token_)) RaiseAtToken(2053);
  index_ = token_.text;
  AdvanceOrFail(2054);
  if (!Is(token_, rwON)) RaiseAtToken(2054);
  AdvanceOrFail(2055);
  table_ = ReadTableName(2055, 2055);
  if (token_.kind != tktLeftParenthesis) RaiseAtToken(2056);
  do {
    AdvanceOrFail(2058);
    if (Is(token_, rwPASSWORD)) {
      AdvanceOrFail(2059);
      if (token_.kind != tktQuotedString) RaiseAtToken(2059);
      password_ = token_.text;
      AdvanceOrFail(2058);
      continue;
    }
    if (!IsName(token_)) RaiseAtToken(2057);
    Field f{token_.text};
    AdvanceOrFail(2058);
    while (token_.kind != tktComma && token_.kind != tktRightParenthesis) {
      if (Is(token_, rwDESC))
        f.descending = true;
      else if (Is(token_, rwASC))
        f.descending = false;
      else if (Is(token_, rwNOCASE))
        f.caseInsensitive = true;
      else if (Is(token_, rwCASE))
        f.caseInsensitive = false;
      AdvanceOrFail(2058);
    }
    fields_.push_back(f);
  } while (token_.kind == tktComma);
  Advance();
  if (token_.kind != tktNone) RaiseAtToken(2050);
}

void TVellDDLCreateIndex::Execute(TVellSQLContext& query, bool) {
  auto t = MakeStatementTable(query, table_, inMemory_, password_);
  std::string fields, ci, desc;
  for (const Field& f : fields_) {
    fields += (fields.empty() ? "" : ";") + f.name;
    if (f.caseInsensitive) ci += (ci.empty() ? "" : ";") + f.name;
    if (f.descending) desc += (desc.empty() ? "" : ";") + f.name;
  }
  t->Open();
  t->InternalAddIndex(index_, fields, desc, ci, unique_ ? uint8_t(ixUnique) : uint8_t(0));
  t->Close();
}

TVellDDLDropIndex::TVellDDLDropIndex(TVellLexer* lexer) : TVellSQLCommand(lexer) {
  CurrentToken();
  Parse();
}

void TVellDDLDropIndex::Parse() {
  Advance();  // INDEX
  if (!Advance()) throw VTblException(2060);
  table_ = ReadTableName(2060, 2060);
  if (token_.kind == tktNone) throw VTblException(2063);
  if (token_.kind != tktDot)
    throw VTblException(2064, {}, {".", token_.text, token_.line, token_.column});
  AdvanceOrFail(2065);
  if (!IsName(token_)) RaiseAtToken(2065);
  index_ = token_.text;
  Advance();
  if (Is(token_, rwPASSWORD)) {
    AdvanceOrFail(2066);
    if (token_.kind != tktQuotedString) RaiseAtToken(2066);
    password_ = token_.text;
    Advance();
  }
  if (token_.kind != tktNone) RaiseAtToken(2061);
}

void TVellDDLDropIndex::Execute(TVellSQLContext& query, bool) {
  auto t = MakeStatementTable(query, table_, inMemory_, password_);
  t->Open();
  t->InternalDeleteIndex(index_);
  t->Close();
}

// ---- the script ------------------------------------------------------------------------------

TSQLScriptProcessor::TSQLScriptProcessor(const std::string& text, const TVellParams* params)
    : lexer_(std::make_unique<TVellLexer>(text, params)) {
  while (lexer_->NextCommand()) {
    TToken t;
    if (!lexer_->CurrentToken(t)) continue;  // an empty command
    TToken next;
    const bool hasNext = lexer_->PeekToken(next);
    std::unique_ptr<TVellSQLCommand> s;
    if (Is(t, rwCREATE)) {
      if (!hasNext) throw VTblException(2001, {}, {t.line});
      if (Is(next, rwTABLE))
        s = std::make_unique<TVellDDLCreateTable>(lexer_.get());
      else if (Is(next, rwUNIQUE) || Is(next, rwINDEX))
        s = std::make_unique<TVellDDLCreateIndex>(lexer_.get());
      else
        throw VTblException(2002, {}, {next.text, next.line, next.column});
    } else if (Is(t, rwDROP)) {
      if (!hasNext) throw VTblException(2036, {}, {t.line});
      if (Is(next, rwTABLE))
        s = std::make_unique<TVellDDLDropTable>(lexer_.get());
      else if (Is(next, rwINDEX))
        s = std::make_unique<TVellDDLDropIndex>(lexer_.get());
      else
        throw VTblException(2035, {}, {next.text, next.line, next.column});
    } else if (Is(t, rwALTER)) {
      if (!hasNext) throw VTblException(2036, {}, {t.line});
      if (!Is(next, rwTABLE)) throw VTblException(2035, {}, {next.text, next.line, next.column});
      s = std::make_unique<TVellDDLAlterTable>(lexer_.get());
    } else if (Is(t, rwINSERT)) {
      s = std::make_unique<TVellSQLInsert>(lexer_.get());
    } else if (Is(t, rwUPDATE)) {
      s = std::make_unique<TVellSQLUpdate>(lexer_.get());
    } else if (Is(t, rwDELETE)) {
      s = std::make_unique<TVellSQLDelete>(lexer_.get());
    } else if (Is(t, rwSELECT) || t.kind == tktLeftParenthesis) {
      s = std::make_unique<TVellSQLUnion>(lexer_.get());
    } else {
      throw VTblException(t.kind == tktReservedWord ? 1003 : 1059, {}, {t.text, t.line, t.column});
    }
    statements_.push_back(std::move(s));
  }
  if (statements_.empty()) throw VTblException(1001);
}

TSQLScriptProcessor::~TSQLScriptProcessor() {
  while (!statements_.empty()) statements_.pop_back();
}

void TSQLScriptProcessor::Execute(TVellSQLContext& query) {
  for (size_t i = 0; i < statements_.size(); ++i) {
    statements_[i]->Execute(query, true);
    if (i + 1 < statements_.size()) statements_[i].reset();
  }
}

bool TSQLScriptProcessor::HasResult() const {
  return !statements_.empty() && statements_.back() &&
         statements_.back()->ResultOperator() != nullptr;
}

TVellAO* TSQLScriptProcessor::ResultOperator() const {
  if (!HasResult()) throw VTblException(1068);
  return statements_.back()->ResultOperator();
}

TVellSQLUnion* TSQLScriptProcessor::LastQuery() const {
  return statements_.empty() ? nullptr : dynamic_cast<TVellSQLUnion*>(statements_.back().get());
}

}  // namespace kestro
