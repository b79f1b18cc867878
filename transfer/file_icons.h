// The icon index of a file row by the file's name, as the lists use it.
#pragma once

#include <string>

// The name's ending: its last extension, with ".tar" before it kept
// (".tar.gz"); "" when there is none, or when what follows the last dot is
// too long or holds a space to be a type's extension.
std::string FileEnding(const std::string& name);

// The icon goes by the name's ending and is looked up in the file type
// database (plat::ImageList) once per ending rather than once per row: a
// directory of 100,000 files is shown without 100,000 look-ups. A name
// without an ending gets the plain file icon: the database's matching of
// whole names is far too slow to run per row.
int FileIconIndex(const std::string& name);
