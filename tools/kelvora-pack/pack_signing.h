// kelvora-pack's signing commands: keygen, sign and verify (the checks Update.exe makes).
#pragma once

namespace pack_signing {

int keygen(const char* publicPath, const char* secretPath);
// argv holds the arguments after the command's name.
int sign(int argc, char** argv);
int verify(int argc, char** argv);

}  // namespace pack_signing
