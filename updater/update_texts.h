// The status texts of an update, in English or in Chinese (GBK bytes), chosen by the settings
// block's language. Each fits the 128-byte status line.
#pragma once

#include <string>

#include "updater/settings_block.h"

namespace update_texts {

// The opening text of the progress window.
const char* connecting(bool chinese);
std::string foundNewVersion(bool chinese, const settings_block::Version& announced);
std::string noNewVersion(bool chinese, const settings_block::Version& current);
const char* fileFault(bool chinese);
const char* updateCompleted(bool chinese);

}  // namespace update_texts
