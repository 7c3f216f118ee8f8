// Quillmar's version, stated here once. The version record and the About
// box in quillmar.rc take it from here (windres joins the adjacent string
// literals), and so do the build (CMakeLists.txt reads the two numbers for
// the help's copyright line and the name of the distribution zip) and the
// tests. The application manifest names it too, in a file windres takes as
// it is; a test checks that the two agree. The resource compiler and scripts
// read this file, so it holds plain #defines only.
#pragma once

#define QUILLMAR_VERSION_MAJOR 1
#define QUILLMAR_VERSION_MINOR 10

// The version as users see it, "1.10": the two numbers joined by a dot.
#define QUILLMAR_STRINGIZE_(value) #value
#define QUILLMAR_STRINGIZE(value) QUILLMAR_STRINGIZE_(value)
#define QUILLMAR_VERSION_TEXT QUILLMAR_STRINGIZE(QUILLMAR_VERSION_MAJOR) "." QUILLMAR_STRINGIZE(QUILLMAR_VERSION_MINOR)

// The four numbers of the version record: Quillmar counts only the first two.
#define QUILLMAR_VERSION_NUMBERS QUILLMAR_VERSION_MAJOR, QUILLMAR_VERSION_MINOR, 0, 0
