#include "repository.h"

#include "utils.h"

Repository::Repository(std::string folder, bool tidy)
    : files(std::move(folder)),
      inventory(files),
      cache(files, inventory, nelt::service::URL_HOST, CA_FILE) {
  // The store account is signed out at every start.
  removeToken(USER_OBJ);

  if (tidy) tidyCache();
}
