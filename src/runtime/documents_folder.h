// The user's documents folder, as the freedesktop.org user directories name it.
#pragma once

#include <string>

namespace quorvale::runtime {

// XDG_DOCUMENTS_DIR from the user directories file ($XDG_CONFIG_HOME/user-dirs.dirs, or
// ~/.config/user-dirs.dirs), with "$HOME" expanded; otherwise ~/Documents. Empty without a home.
std::string DocumentsFolder();

// Where an installed copy keeps its list files when no list folder is given: Quorvale in the
// documents folder (empty without a home).
std::string ListFolderInDocuments();

// Where the program keeps data of its own: quorvale in $XDG_DATA_HOME (when it is an absolute
// path), else in ~/.local/share (empty without a home).
std::string DataFolder();

}  // namespace quorvale::runtime
