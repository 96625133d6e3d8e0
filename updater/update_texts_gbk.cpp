// Compiled with -fexec-charset=GBK: the Chinese literals below are written in UTF-8 and stored
// as GBK bytes, the code page the status line is drawn in.
#include <cstdio>

#include "updater/app_state.h"
#include "updater/update_texts.h"

namespace update_texts {

namespace {

std::string format(const char* pattern, const settings_block::Version& v) {
  char text[STATUS_LINE_SIZE];
  std::snprintf(text, sizeof text, pattern, v.major, v.minor, v.build);
  return text;
}

}  // namespace

std::string foundNewVersion(bool chinese, const settings_block::Version& announced) {
  return format(chinese ? "探测到新版本 %u.%u.%u, 正在更新...\n\n"
                        : "Found a new version %u.%u.%u, downloading...\n\n",
                announced);
}

std::string noNewVersion(bool chinese, const settings_block::Version& current) {
  if (!chinese) return "No new version.";
  return format("没有新版本, 当前为 %u.%u.%u\n\n", current);
}

const char* fileFault(bool chinese) {
  return chinese ? "更新文件存在故障, 请稍后再试。" : "File fault, please try again later.";
}

const char* updateCompleted(bool chinese) {
  return chinese ? "更新已经完成！" : "Update completed.";
}

}  // namespace update_texts
