#include "support.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tamberok::testing {

ArtifactDb::ArtifactDb(artifact::Contents contents) : ArtifactDb(artifact::write(contents)) {}

ArtifactDb::ArtifactDb(const std::vector<uint8_t>& bytes)
    : bytes_(bytes), db_(std::make_unique<Db>(bytes_.span())) {}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::unique_ptr<ArtifactDb> load_fixture(const std::string& name) {
  return std::make_unique<ArtifactDb>(
      read_file(std::string(TAMBEROK_FIXTURE_DIR) + "/" + name + ".rkyv"));
}

const Db* real_db() {
  try {
    return &global_db();
  } catch (const Panic&) {
    return nullptr;
  }
}

bool real_data_required() {
  const char* value = std::getenv("TAMBEROK_REQUIRE_DATA");
  return value != nullptr && std::string(value) == "1";
}

}  // namespace tamberok::testing
