// The values compiled into the program: the update server, the address page, the storage
// endpoints, buckets and key pair, the settings file key prefix and the publisher keys. Each
// Update.exe links one set (production or loopback); nothing is read from the command line or the
// environment.
#pragma once

#include <string>

struct BuiltinConfig {
  const char* updateHost;         // the update server; its port is always 9910
  const char* addressPageUrl;     // the public-address web page
  const char* storageEndpointCn;  // used with language 2052
  const char* storageEndpointEn;  // used with every other language
  const char* bucketCn;
  const char* bucketEn;
  const char* accessKeyId;
  const char* accessKeySecret;
  unsigned configKeyPrefixHigh;  // first four digits of the settings file key prefix
  unsigned configKeyPrefixLow;   // last four digits
  // ";"-separated base64 lines of minisign public keys; empty: packages are installed unchecked.
  const char* publisherKeys;
};

const BuiltinConfig& builtinConfig();

// The 8 ASCII digits of the settings file key prefix, joined from its two four-digit halves.
std::string configKeyPrefixDigits();
