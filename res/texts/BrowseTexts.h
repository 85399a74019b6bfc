#pragma once
// Texts of the browsing views (UTF-8 source).
namespace txt {
}  // namespace txt
