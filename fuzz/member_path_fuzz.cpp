// Member paths and the path-text helpers on arbitrary text: no crash, no
// read past the text, and a parsed path rebuilds to the same pair.
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/member_path.h"

namespace {

class typed_archive : public sonovale_io::archive_impl {
 public:
  int32_t release_reference() override { return 1; }
  int32_t add_reference() override { return 1; }
  void list_members(const char*, service_ptr_t<sonovale_io::file>&, sonovale_io::member_callback&,
                    bool) override {}
  const char* get_type_name() override { return "tar"; }
  sonovale_io::file_stats get_member_stats(const char*, const char*, abort_callback&) override {
    return {};
  }
  void open_member(service_ptr_t<sonovale_io::file>&, const char*, const char*,
                   abort_callback&) override {}
};

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized copy, so that any read past the NUL is caught.
  char* text = static_cast<char*>(std::malloc(size + 1));
  if (size != 0) std::memcpy(text, data, size);
  text[size] = 0;

  plix::string8 archive, member;
  if (sonovale_io::parse_member_path(text, archive, member)) {
    require(archive.get_length() != 0);
    typed_archive owner;
    plix::string8 rebuilt, archive2, member2;
    sonovale_io::make_member_path(rebuilt, owner, archive.get_ptr(), member.get_ptr());
    require(owner.is_our_path(rebuilt.get_ptr()));
    // Text after a NUL inside the archive path cannot survive; only a path
    // without one must round-trip.
    if (std::strlen(archive.get_ptr()) == archive.get_length()) {
      require(sonovale_io::parse_member_path(rebuilt.get_ptr(), archive2, member2));
      require(std::strcmp(archive.get_ptr(), archive2.get_ptr()) == 0);
      require(std::strcmp(member.get_ptr(), member2.get_ptr()) == 0);
    }
  }

  size_t name = sonovale_io::file_name_offset(text);
  require(name <= std::strlen(text));
  char extension[32];
  sonovale_io::get_file_extension(text, extension);
  require(std::strlen(extension) < 32);
  plix::string8 stem = sonovale_io::get_file_name_without_extension(text);
  require(std::strncmp(stem.get_ptr(), text + name, stem.get_length()) == 0);

  std::free(text);
  return 0;
}
