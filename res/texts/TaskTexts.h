#pragma once
// Texts of the task layer (UTF-8 source).
namespace txt {
}  // namespace txt
