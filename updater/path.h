#pragma once

#include <string>

// Joins the components, ended by a null pointer, with "/" between every two of them;
// separators are neither added at the ends nor collapsed. A null first component
// gives the empty string.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));
