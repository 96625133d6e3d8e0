#include "updater/builtin_config.h"

#include <cstdio>

#include "builtin_config_values.h"

const BuiltinConfig& builtinConfig() {
  static const BuiltinConfig config{
      KELVORA_CFG_UPDATE_HOST,
      KELVORA_CFG_ADDRESS_PAGE_URL,
      KELVORA_CFG_STORAGE_ENDPOINT_CN,
      KELVORA_CFG_STORAGE_ENDPOINT_EN,
      KELVORA_CFG_BUCKET_CN,
      KELVORA_CFG_BUCKET_EN,
      KELVORA_CFG_ACCESS_KEY_ID,
      KELVORA_CFG_ACCESS_KEY_SECRET,
      KELVORA_CFG_CONFIG_KEY_PREFIX_HIGH,
      KELVORA_CFG_CONFIG_KEY_PREFIX_LOW,
      KELVORA_CFG_PUBLISHER_KEYS,
  };
  return config;
}

std::string configKeyPrefixDigits() {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%04u%04u", builtinConfig().configKeyPrefixHigh % 10000,
                builtinConfig().configKeyPrefixLow % 10000);
  return std::string(digits, 8);
}
