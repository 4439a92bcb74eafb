// The number of tokens the decoder reads from a KX file before its picture
// of total_bytes raw bytes is complete: what a decode costs per token, and
// what the benchmarks' cost model and frontier tables count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/format/kx_format.h"
#include "codec/format/kx_stream.h"

// The tokens by form: single literals, literal runs, copies.
struct TokenForms {
  std::size_t literals;
  std::size_t runs;
  std::size_t copies;
};

inline TokenForms CountTokenForms(const std::vector<std::uint8_t>& file, std::size_t total_bytes) {
  using namespace kx;
  TokenForms forms{0, 0, 0};
  std::size_t i = 0;
  std::size_t j = kHeaderBytes;
  unsigned flags = 0;
  unsigned flags_left = 0;
  while (i < total_bytes && j < file.size()) {
    if (flags_left == 0) {
      flags = file[j++];
      flags_left = kGroupTokens;
      if (j >= file.size()) break;
    }
    const bool control = (flags & kCurrentFlag) != 0;
    flags <<= 1;
    --flags_left;
    if (!control) {
      ++forms.literals;
      ++i;
      ++j;
      continue;
    }
    const unsigned b = file[j++];
    const TokenForm form = ClassifyControl(b);
    if (form == TokenForm::kLiteralRun) {
      ++forms.runs;
      i += RunLength(b);
      j += RunLength(b);
      continue;
    }
    ++forms.copies;
    if (file.size() - j < OperandBytes(form)) break;
    const unsigned c = OperandBytes(form) > 0 ? file[j] : 0u;
    const unsigned d = OperandBytes(form) > 1 ? file[j + 1] : 0u;
    j += OperandBytes(form);
    i += DecodeCopy(form, b, c, d).length;
  }
  return forms;
}

inline std::size_t CountTokens(const std::vector<std::uint8_t>& file, std::size_t total_bytes) {
  const TokenForms forms = CountTokenForms(file, total_bytes);
  return forms.literals + forms.runs + forms.copies;
}
