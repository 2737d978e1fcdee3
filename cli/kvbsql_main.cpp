#include <cstdio>

#include "cli/shell.h"

int main(int argc, char** argv) {
  kestro::TKvbShell shell(stdout, stderr);
  return shell.Main(argc, argv);
}
