// Update detection: which installed store applications have a newer version
// in the store. Runs at start-up and for every installed-list request.
#include <rapidjson/document.h>

#include "json_util.h"
#include "repository.h"
#include "service_api.h"
#include "service_controller.h"
#include "utils.h"

namespace {

// The store's current version of one application, asked by slug. False when
// the store does not answer, does not know the application, or its record
// carries no version text.
bool currentVersion(ServiceAPI& api, const std::string& slug, std::string& version) {
  if (api.getDetailApp(slug) < 0) return false;
  if (nelt::atoiLike(api.getIDResponse()) != 200) return false;
  const std::string detail = api.getResponse();
  rapidjson::Document doc;
  doc.Parse(detail.c_str(), detail.size());
  if (doc.HasParseError()) return false;
  return nelt::getString(doc, "currentVersion", version);
}

}  // namespace

int ServiceController::loadListInfoUpdate() {
  repo->getListInstalled();
  const std::string text = repo->readData(INSTALLED_OBJ);
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) return -1;
  int total = 0;
  const rapidjson::Value* data = nelt::getArray(doc, "data");
  if (!nelt::getInt(doc, "total", total) || data == nullptr) return -1;

  std::vector<Infoupdate_installed_app> updates;
  for (rapidjson::SizeType i = 0; static_cast<int>(i) < total && i < data->Size(); ++i) {
    const rapidjson::Value& entry = (*data)[i];
    Infoupdate_installed_app record;
    if (!nelt::getString(entry, "slug", record.slug) || record.slug.empty()) continue;
    if (!currentVersion(*api, record.slug, record.ver_new)) continue;
    nelt::getString(entry, "version", record.ver_cur);
    record.is_update = compareVersion(record.ver_cur, record.ver_new) == 2;
    updates.push_back(record);
  }
  if (updates.empty()) return -1;
  repo->updateInstalledList(updates);
  return 0;
}
