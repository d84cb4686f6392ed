// An output that keeps what is written to it, for the files a writer makes in memory in a test
// (an index, hashes, sizes): their bytes, lines ended by CR LF as a list file's.
#pragma once

#include <string>
#include <string_view>

#include "runtime/text_output.h"

namespace quorvale::test {

class BytesOutput final : public runtime::TextOutput {
  public:
    void PrintLine(std::string_view line) override { bytes.append(line).append("\r\n"); }
    void PrintBytes(std::string_view more) override { bytes.append(more); }
    void FinishWriting() override {}
    void Close() override {}
    std::string bytes;
};

}  // namespace quorvale::test
