#pragma once
// Texts of the app layer (UTF-8 source).
namespace txt {
}  // namespace txt
