#pragma once
// Where the record lives unless --history names another file.
#include <string>

// $XDG_DATA_HOME/tarvisel/history.sqlite, or ~/.local/share/tarvisel/history.sqlite when it is
// unset or not an absolute path (as the XDG base directories say); empty when there is no home.
std::string DefaultHistoryPath();
