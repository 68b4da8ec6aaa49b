// The commands of pellucor-service besides serve: import, migrate and check, and what they
// share with it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/store/store.h"

namespace pellucor::service {

// The whole content of the file at `path` (a UTF-8 path, as given on the command line).
bool ReadFile(const std::string& path, std::string* bytes);

// The store at `location`; empty: the SQLite file in `dataDir`.
std::unique_ptr<Store> OpenStore(const std::string& location, const std::string& dataDir,
                                 const StoreOptions& options = {});

// Checks .torrent files and adds them to the store; prints a line per file. The exit status.
int Import(Store& store, const std::vector<std::string>& files);
// Copies every torrent of `from` into `to` with its source and date; one already in `to` is kept
// when its bytes are the same, and reported when they differ. Running it again after an
// interruption goes on where it stopped. The exit status.
int Migrate(Store& from, Store& to);
// The store's consistency check, a line per problem. The exit status.
int Check(Store& store);

}  // namespace pellucor::service
