// TAR archives for tests: made by Python's tarfile from names and bytes,
// and incompressible filler.
#pragma once

#include <unistd.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/bz2_data.h"

// A small TAR made by Python's tarfile: `members` in order, name and bytes.
inline std::string make_tar(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string script =
      "import io, sys, tarfile\n"
      "data = sys.stdin.buffer.read()\n"
      "out = io.BytesIO()\n"
      "with tarfile.open(fileobj=out, mode='w', format=tarfile.GNU_FORMAT) as t:\n"
      "    listing, payloads = data.split(b'\\0\\0\\0', 1)\n"
      "    at = 0\n"
      "    for entry in listing.decode().split('\\n'):\n"
      "        name, size = entry.rsplit(' ', 1)\n"
      "        payload = payloads[at:at + int(size)]\n"
      "        at += int(size)\n"
      "        info = tarfile.TarInfo(name); info.size = len(payload); info.mtime = 0\n"
      "        t.addfile(info, io.BytesIO(payload))\n"
      "sys.stdout.buffer.write(out.getvalue())\n";
  std::string entries, payloads;
  for (const auto& [name, bytes] : members) {
    if (!entries.empty()) entries += "\n";
    entries += name + " " + std::to_string(bytes.size());
    payloads += bytes;
  }
  char script_name[] = "/tmp/tar_data_XXXXXX";
  int fd = mkstemp(script_name);
  EXPECT_EQ(write(fd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
  close(fd);
  tool_result r =
      run_tool(std::string("python3 ") + script_name, entries + std::string(3, '\0') + payloads);
  unlink(script_name);
  EXPECT_EQ(r.status, 0);
  return r.output;
}

// `n` bytes that hardly compress, the same for the same `seed`.
inline std::string noise(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}
