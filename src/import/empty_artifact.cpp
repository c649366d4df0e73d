// Writes the EMPTY placeholder artifact: well-formed, with no rows at all.
// A build without real data embeds it, and every data call refuses it.
#include <cstdio>
#include <fstream>

#include "tamberok/artifact_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tamberok-empty-artifact OUT\n");
    return 2;
  }
  tamberok::artifact::Contents contents;
  std::vector<uint8_t> bytes = tamberok::artifact::write(contents);
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "tamberok-empty-artifact: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
