// Lexing and expression parsing over scripts of growing size. The cost per
// byte must stay flat: run with --benchmark_counters_tabular=true and compare
// the bytes_per_second column across sizes (1 MB must lex well under 1 s).
#include <benchmark/benchmark.h>

#include <string>

#include "engine/sql/expression.h"
#include "engine/sql/lexer.h"

namespace {

using namespace kestro;

// A script of the organizer's simple statements, `bytes` long at least.
std::string Script(size_t bytes) {
  static const char* kStatements[] = {
      "Select * From Link, Res Where Link.IdRes=Res.IdRes and Link.IdCat=17;\n",
      "Update Res Set Mark=1 Where IdRes In (1,2,3);\n",
      "Insert Into Link (IdCat, IdRes) Values (12, 345);\n",
      "Select * From Res Where NmRes Like \"%ab%\" or PathRes Like \"%ab%\" Order By NmRes;\n",
      "-- a comment\nDelete From Cat Where IdCat IN (5,7,9,12);\n",
  };
  std::string s;
  for (size_t i = 0; s.size() < bytes; ++i) s += kStatements[i % 5];
  return s;
}

void BM_Lex(benchmark::State& state) {
  const std::string sql = Script(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    TVellLexer lexer(sql);
    benchmark::DoNotOptimize(lexer.CommandCount());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sql.size()));
}
BENCHMARK(BM_Lex)->RangeMultiplier(10)->Range(10'000, 1'000'000)->Unit(benchmark::kMillisecond);

// The WHERE condition of every command parsed into a tree.
void BM_LexAndParseConditions(benchmark::State& state) {
  std::string sql;
  for (size_t i = 0; sql.size() < size_t(state.range(0)); ++i)
    sql += "Link.IdRes=Res.IdRes and (Link.IdCat=" + std::to_string(i) +
           " or NmRes Like '%ab%') and Upper(PathRes) || 'x' <> 'y' and IdRes In (1,2,3);\n";
  for (auto _ : state) {
    TVellLexer lexer(sql);
    while (lexer.NextCommand()) {
      TVTblExpression e(&lexer);
      e.ParseCondition();
      benchmark::DoNotOptimize(e.Root());
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sql.size()));
}
BENCHMARK(BM_LexAndParseConditions)
    ->RangeMultiplier(10)
    ->Range(10'000, 1'000'000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
