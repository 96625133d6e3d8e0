// The Chinese texts are spelled as their GBK bytes, the code page the status line is drawn in,
// so that every compiler (clang has no GBK execution character set) stores the same bytes. The
// UTF-8 text of each stands beside it; the unit tests compare the two through iconv.
#include <cstdio>

#include "updater/app_state.h"
#include "updater/update_texts.h"

namespace update_texts {

namespace {

// 正在连接更新服务器……
constexpr char kConnectingChinese[] =
    "\xD5\xFD\xD4\xDA\xC1\xAC\xBD\xD3\xB8\xFC\xD0\xC2\xB7\xFE\xCE\xF1\xC6\xF7\xA1\xAD\xA1\xAD";
// 探测到新版本 %u.%u.%u, 正在更新...\n\n
constexpr char kFoundChinese[] =
    "\xCC\xBD\xB2\xE2\xB5\xBD\xD0\xC2\xB0\xE6\xB1\xBE %u.%u.%u, "
    "\xD5\xFD\xD4\xDA\xB8\xFC\xD0\xC2...\n\n";
// 没有新版本, 当前为 %u.%u.%u\n\n
constexpr char kNoneChinese[] =
    "\xC3\xBB\xD3\xD0\xD0\xC2\xB0\xE6\xB1\xBE, \xB5\xB1\xC7\xB0\xCE\xAA %u.%u.%u\n\n";
// 更新文件存在故障, 请稍后再试。
constexpr char kFaultChinese[] =
    "\xB8\xFC\xD0\xC2\xCE\xC4\xBC\xFE\xB4\xE6\xD4\xDA\xB9\xCA\xD5\xCF, "
    "\xC7\xEB\xC9\xD4\xBA\xF3\xD4\xD9\xCA\xD4\xA1\xA3";
// 更新已经完成！
constexpr char kDoneChinese[] = "\xB8\xFC\xD0\xC2\xD2\xD1\xBE\xAD\xCD\xEA\xB3\xC9\xA3\xA1";

std::string format(const char* pattern, const settings_block::Version& v) {
  char text[app_state::STATUS_LINE_SIZE];
  std::snprintf(text, sizeof text, pattern, v.major, v.minor, v.build);
  return text;
}

}  // namespace

const char* connecting(bool chinese) {
  return chinese ? kConnectingChinese : "Connecting the update server...";
}

std::string foundNewVersion(bool chinese, const settings_block::Version& announced) {
  return format(chinese ? kFoundChinese : "Found a new version %u.%u.%u, downloading...\n\n",
                announced);
}

std::string noNewVersion(bool chinese, const settings_block::Version& current) {
  if (!chinese) return "No new version.";
  return format(kNoneChinese, current);
}

const char* fileFault(bool chinese) {
  return chinese ? kFaultChinese : "File fault, please try again later.";
}

const char* updateCompleted(bool chinese) {
  return chinese ? kDoneChinese : "Update completed.";
}

}  // namespace update_texts
