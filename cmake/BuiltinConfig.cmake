# Built-in configuration: the program reads no command line, environment or registry, so every
# outside address is compiled in. Production values are placeholders until the maker sets them,
# e.g. cmake -DKELVORA_UPDATE_HOST=update.example.org ...
set(KELVORA_UPDATE_HOST "update-server.invalid" CACHE STRING "Update server host (port 9910 is fixed)")
set(KELVORA_ADDRESS_PAGE_URL "http://address-page.invalid/ip" CACHE STRING "Public-address web page URL")
set(KELVORA_STORAGE_ENDPOINT_CN "https://storage-beijing.invalid" CACHE STRING "Beijing-region object storage endpoint")
set(KELVORA_STORAGE_ENDPOINT_EN "https://storage-hongkong.invalid" CACHE STRING "Hong Kong-region object storage endpoint")
set(KELVORA_BUCKET_CN "pravex-update-1" CACHE STRING "Bucket used with language 2052")
set(KELVORA_BUCKET_EN "update-en-1" CACHE STRING "Bucket used with every other language")
set(KELVORA_ACCESS_KEY_ID "QX7mW2bRtNc8VdKp" CACHE STRING "Object storage access key ID")
set(KELVORA_ACCESS_KEY_SECRET "r4Tz8LmQ2vNc6XwB9sJk3HdF5yPa7G" CACHE STRING "Object storage access key secret")
set(KELVORA_CONFIG_KEY_PREFIX "47130529" CACHE STRING "Settings file key prefix: 8 ASCII digits")

# Publisher keys: ";"-separated base64 lines of minisign public keys (more than one while a key
# is rotated). With none, packages are installed without a signature check.
set(KELVORA_PUBLISHER_KEYS "" CACHE STRING "Minisign public keys that sign packages (production)")
# The loopback build trusts the project's test key, whose secret half is in tests/data.
set(KELVORA_E2E_PUBLISHER_KEYS "RWQ5Tw/l/A+TNUkHokyJD0BYwQzbab5Zow9bcwK2UtiHv+8gje+0AyB7"
  CACHE STRING "Minisign public keys that sign packages (loopback Update.exe)")

# A minisign public key line is base64 of 42 bytes beginning "Ed": 56 characters, "RW" and a
# third character from Q to T.
function(kelvora_check_publisher_keys variable)
  foreach(key IN LISTS ${variable})
    string(LENGTH "${key}" length)
    if(NOT key MATCHES "^RW[QRST][A-Za-z0-9+/]*$" OR NOT length EQUAL 56)
      message(FATAL_ERROR "${variable}: \"${key}\" is not a minisign public key (the base64 "
        "line of a minisign public key file, 56 characters for 42 bytes of Ed25519 key)")
    endif()
  endforeach()
endfunction()
kelvora_check_publisher_keys(KELVORA_PUBLISHER_KEYS)
kelvora_check_publisher_keys(KELVORA_E2E_PUBLISHER_KEYS)
if(KELVORA_PUBLISHER_KEYS STREQUAL "")
  message(WARNING "KELVORA_PUBLISHER_KEYS is empty: Update.exe installs packages without a "
    "signature check. See \"Signed releases\" in README.md.")
endif()

if(NOT KELVORA_CONFIG_KEY_PREFIX MATCHES "^[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]$")
  message(FATAL_ERROR "KELVORA_CONFIG_KEY_PREFIX must be exactly 8 ASCII digits")
endif()

# Writes one values header into DIR; the production and the loopback Update.exe each get their own.
function(kelvora_write_config_header dir host page cn en keys)
  string(SUBSTRING "${KELVORA_CONFIG_KEY_PREFIX}" 0 4 KELVORA_CONFIG_KEY_PREFIX_HIGH)
  string(SUBSTRING "${KELVORA_CONFIG_KEY_PREFIX}" 4 4 KELVORA_CONFIG_KEY_PREFIX_LOW)
  # A leading zero would read as octal in C; the program prints each half back with four digits.
  math(EXPR KELVORA_CONFIG_KEY_PREFIX_HIGH "${KELVORA_CONFIG_KEY_PREFIX_HIGH}")
  math(EXPR KELVORA_CONFIG_KEY_PREFIX_LOW "${KELVORA_CONFIG_KEY_PREFIX_LOW}")
  set(CFG_UPDATE_HOST "${host}")
  set(CFG_ADDRESS_PAGE_URL "${page}")
  set(CFG_STORAGE_ENDPOINT_CN "${cn}")
  set(CFG_STORAGE_ENDPOINT_EN "${en}")
  set(CFG_PUBLISHER_KEYS "${keys}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/builtin_config_values.h.in ${dir}/builtin_config_values.h @ONLY)
endfunction()
