#pragma once
// Texts of the ui layer (UTF-8 source).
namespace txt {
}  // namespace txt
