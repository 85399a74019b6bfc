#pragma once
// Texts of the engine layer (UTF-8 source).
namespace txt {
}  // namespace txt
