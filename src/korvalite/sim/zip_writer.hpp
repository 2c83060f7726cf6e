#pragma once
// Writes a ZIP archive holding one file, stored or compressed with raw DEFLATE, the way a
// camera keeps a zipped description in its memory.
#include <expected>
#include <string>
#include <string_view>

#include "korvalite/gige/proto/bytes.hpp"

namespace korvalite::sim {

enum class ZipMethod { Stored, Deflated };

// The archive bytes, or the compressor's failure text.
std::expected<gige::proto::ByteVec, std::string> make_zip(std::string_view file_name, gige::proto::ByteView content,
                                                          ZipMethod method);

}  // namespace korvalite::sim
