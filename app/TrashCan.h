#pragma once
// The desktop's trash (the freedesktop layout: files/ and info/ under
// $XDG_DATA_HOME/Trash, or a .Trash-<uid> folder at the top of another
// disk), so a song deleted by a slip of the mouse can be restored from the
// file manager. Paths are bytes: a name that is not UTF-8 goes in as it is.
#include <string>

class TrashCan {
 public:
  enum class Result {
    kTrashed,  // moved; the trash's info file says where it came from
    kNoTrash,  // no trash can take this file: deleting it is the caller's call
    kFailed,   // the file could not be moved (missing, or its folder refuses)
  };

  // path is absolute. The user's trash comes from XDG_DATA_HOME or HOME.
  static Result MoveToTrash(const std::string& path);
  // The home trash folder (without trailing "/"), "" without a home.
  static std::string HomeTrash();
};
