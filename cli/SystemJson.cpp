#include "cli/SystemJson.h"

#include "cli/JsonText.h"

nlohmann::json SystemJson(const os::runtime::SystemFacts& facts) {
  auto text = [](const std::string& s) {
    return s.empty() ? nlohmann::json(nullptr) : JsonText(s);
  };
  const auto& d = facts.device;
  return {
      {"kernel", text(facts.kernel)},
      {"file_system", text(facts.fileSystem)},
      {"mount_options", text(facts.mountOptions)},
      {"device",
       {{"model", text(d.model)},
        {"rotational", d.rotational ? nlohmann::json(*d.rotational) : nlohmann::json(nullptr)},
        {"logical_sector_size",
         d.logicalSectorSize ? nlohmann::json(d.logicalSectorSize) : nlohmann::json(nullptr)}}},
  };
}
