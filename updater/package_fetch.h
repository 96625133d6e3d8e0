// The storage client behind the download's fetch: a signed GET with the built-in key pair.
#pragma once

#include "updater/package_download.h"

namespace package_download {

FetchOutcome fetchFromStorage(const FetchRequest& request, BodySink& sink);
// Process-wide start and end of the storage client: 0 on success.
int startStorageClient();
void stopStorageClient();

}  // namespace package_download
