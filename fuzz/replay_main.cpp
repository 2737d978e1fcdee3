// Replays every file of a corpus directory through the fuzz target, so the
// inputs that fuzzing found stay regression tests under any compiler.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_container.h"
#include "fuzz/fuzz_expression.h"
#include "fuzz/fuzz_sql.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s expression|container|sql CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const std::string target = argv[1];
  int (*run)(const uint8_t*, size_t) = target == "container" ? FuzzContainer
                                        : target == "sql"     ? FuzzSql
                                                              : FuzzExpression;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[2]))
    if (entry.is_regular_file()) files.push_back(entry.path());
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    run(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return files.empty() ? 1 : 0;
}
