#pragma once

#include <cstddef>
#include <cstdint>

// Feeds arbitrary text to the lexer, the condition and value parsers and the
// evaluator. Coded engine errors and the platform's conversion errors are
// expected outcomes; anything else (a crash, a sanitizer report, another
// exception) is a finding.
int FuzzExpression(const uint8_t* data, size_t size);
