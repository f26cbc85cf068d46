// TAR archives inside gzip and bzip2 files, read through decoded views and
// the content index, against the same archives decoded whole first (what
// every operation did before views): the same members, bytes, sizes and
// failures, with the index cold and warm.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "archive/decoded_view.h"
#include "archive/member_path.h"
#include "formats/tar/tar_member_table.h"
#include "tests/support/archive_services.h"
#include "tests/support/bz2_data.h"
#include "tests/support/expect_throw.h"
#include "tests/support/gzip_data.h"
#include "tests/support/sample_files.h"
#include "tests/support/tar_data.h"
#include "tests/support/test_host.h"
#include "tests/support/view_pass.h"

using namespace sonovale_io;
namespace fs = std::filesystem;

namespace {

// A hash of `f`'s bytes from its position, read in pieces: members of
// sparse archives may be hundreds of MiB of holes.
std::string content_hash(file& f) {
  static thread_local std::string piece(1 << 20, '\0');
  abort_callback_dummy none;
  uLong crc = crc32(0, nullptr, 0);
  uint64_t total = 0;
  for (uint32_t n; (n = f.read(piece.data(), 1 << 20, none)) != 0; total += n)
    crc = crc32(crc, reinterpret_cast<const Bytef*>(piece.data()), n);
  return std::to_string(total) + ":" + std::to_string(crc);
}

class TarView : public testing::Test, public archive_services {
 protected:
  static std::string archive_of(const std::string& member_path) {
    plix::string8 archive, member;
    EXPECT_TRUE(parse_member_path(member_path.c_str(), archive, member));
    return archive.get_ptr();
  }

  // A listing with readers of the TAR at `path` (`reader` may hold it),
  // member by member, and how it ended.
  std::string listing(const std::string& path, file_ptr reader = {}) {
    struct recorder : member_callback {
      std::string text;
      bool is_aborting() const override { return false; }
      void* get_abort_event() const override { return nullptr; }
      bool on_member(archive*, const char* member_path, const file_stats& stats,
                     file_ptr& content) override {
        plix::string8 archive, name;
        parse_member_path(member_path, archive, name);
        text += std::string(name.get_ptr()) + " " + std::to_string(stats.size) + " " +
                content_hash(*content) + "\n";
        return true;
      }
    } r;
    outcome o = outcome_of([&](std::string&) { tar.list_members(path.c_str(), reader, r, true); });
    return r.text + o.verdict();
  }

  // What opening and measuring `member_path` give: the content's hash, the
  // size and time stamp, or the exceptions.
  std::string open_and_stat(const std::string& member_path) {
    outcome opened = outcome_of([&](std::string& out) {
      file_ptr f;
      filesystem::g_open(f, member_path.c_str(), open_mode_read, abort);
      EXPECT_EQ(f->get_position(abort), 0u);
      out = content_hash(*f);
    });
    outcome stats = outcome_of([&](std::string& out) {
      file_stats s{};
      bool writable = true;
      filesystem::g_require_filesystem(fs_, member_path.c_str());
      fs_->get_stats(member_path.c_str(), s, writable, abort);
      out = std::to_string(s.size) + " " + std::to_string(s.timestamp);
    });
    return opened.content + " " + opened.verdict() + " | " + stats.content + " " + stats.verdict();
  }

  // Checks that the TAR `tar_bytes`, put in a gzip and a bzip2 file, reads
  // through views as it reads whole.
  void check_containers(const std::string& label, const std::string& tar_bytes,
                        const std::vector<std::string>& extra_names = {}) {
    std::string plain = host.put(label + ".tar", tar_bytes);
    std::string whole = listing(plain);
    std::vector<std::string> names;
    for (size_t at = 0, end; (end = whole.find('\n', at)) != std::string::npos; at = end + 1) {
      std::string line = whole.substr(at, end - at);
      names.push_back(line.substr(0, line.rfind(' ', line.rfind(' ') - 1)));
    }
    for (const std::string& n : extra_names) names.push_back(n);
    names.push_back("no such member");
    const std::pair<std::string, std::string> containers[] = {
        {"gz", gzip_member(tar_bytes)}, {"bz2", bzip2_compress(tar_bytes, 9)}};
    for (const auto& [kind, bytes] : containers) {
      SCOPED_TRACE(kind);
      std::string file = host.put(label + ".tar." + kind, bytes);
      auto expected = [&](const std::string& name) {
        plix::string8 path;
        make_member_path(path, tar, plain.c_str(), name.c_str());
        return open_and_stat(path.get_ptr());
      };
      // Cold: a walk from the start to the member, or to the end.
      for (const std::string& name : {names.front(), names.back()}) {
        SCOPED_TRACE(name);
        content_index_clear();
        EXPECT_EQ(open_and_stat(nested(kind, file, name)), expected(name));
      }
      content_index_clear();
      EXPECT_EQ(listing(archive_of(nested(kind, file, "-"))), whole);
      // Warm: after a listing, from the member table.
      EXPECT_EQ(listing(archive_of(nested(kind, file, "-"))), whole);
      for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(open_and_stat(nested(kind, file, name)), expected(name));
      }
    }
  }

  abort_callback_dummy abort;
  service_ptr_t<filesystem> fs_;
};

}  // namespace

TEST_F(TarView, MadeArchivesReadAsWhenDecodedWhole) {
  check_containers("made",
                   make_tar({{"a.txt", "hello"},
                             {"big/noise.bin", noise(3 << 20, 1)},
                             {"dup", "first"},
                             {"zeros", std::string(20 << 20, '\0')},
                             {"dup", "second"},
                             {"last.txt", "bye"}}),
                   {"missing"});
}

TEST_F(TarView, CorpusArchivesReadAsWhenDecodedWhole) {
  std::vector<fs::path> files;
  for (const fs::path& p : files_starting_with(TESTDATA_DIR, "")) {
    if (p.extension() == ".tar") files.push_back(p);
  }
  size_t local = files.size();
  for (const fs::path& p : files_starting_with(fetched_corpus(), "")) {
    if (p.extension() == ".tar") files.push_back(p);
  }
  if (files.size() == local) std::cout << "no fetched corpus at " << fetched_corpus() << "\n";
  for (const fs::path& p : files) {
    SCOPED_TRACE(p.string());
    check_containers(p.stem().string(), read_file(p));
  }
}

TEST_F(TarView, CompressedCorpusArchivesListAsTheirWholeContent) {
  std::vector<fs::path> files;
  for (const fs::path& p : files_starting_with(fetched_corpus(), "")) {
    std::string name = p.filename().string();
    if (name.ends_with(".tar.gz") || name.ends_with(".tar.bz2")) files.push_back(p);
  }
  if (files.empty()) GTEST_SKIP() << "no fetched corpus at " << fetched_corpus();
  for (const fs::path& p : files) {
    SCOPED_TRACE(p.string());
    std::string kind = p.extension() == ".gz" ? "gz" : "bz2";
    std::string file = host.put("c.tar." + kind, read_file(p));
    std::string inner = archive_of(nested(kind, file, "-", "c.tar"));
    file_ptr whole;
    outcome decoded = outcome_of(
        [&](std::string&) { filesystem::g_open(whole, inner.c_str(), open_mode_read, abort); });
    content_index_clear();
    if (decoded.ok) {
      EXPECT_EQ(listing(inner), listing(inner, whole));
    } else {
      EXPECT_EQ(listing(inner), decoded.verdict());
    }
  }
}

// Damage in a container fails a listing, and every member at or after it,
// as decoding the container whole did; members before it may open.
TEST_F(TarView, DamageFailsTheListingAndTheMembersAfterIt) {
  std::string tar_bytes =
      make_tar({{"early", "early bytes"}, {"middle", noise(3 << 19, 2)}, {"late", "late bytes"}});
  struct damage {
    const char* what;
    std::string kind;
    std::function<std::string(std::string)> apply;
  };
  const damage cases[] = {
      {"gzip cut short", "gz", [](std::string s) { return s.substr(0, s.size() - 4000); }},
      {"gzip CRC flipped", "gz",
       [](std::string s) {
         s[s.size() - 6] ^= 1;
         return s;
       }},
      {"bzip2 cut short", "bz2", [](std::string s) { return s.substr(0, s.size() - 4000); }},
      {"bzip2 stream CRC flipped", "bz2",
       [](std::string s) {
         s[s.size() - 2] ^= 1;
         return s;
       }},
  };
  std::string full = listing(host.put("d.tar", tar_bytes));
  for (const damage& d : cases) {
    SCOPED_TRACE(d.what);
    std::string good = d.kind == "gz" ? gzip_member(tar_bytes) : bzip2_compress(tar_bytes, 9);
    std::string file = host.put(std::string("d.tar.") + d.kind, d.apply(good));
    std::string inner = archive_of(nested(d.kind, file, "-"));
    content_index_clear();
    file_ptr whole;
    outcome decoded = outcome_of(
        [&](std::string&) { filesystem::g_open(whole, inner.c_str(), open_mode_read, abort); });
    ASSERT_FALSE(decoded.ok);
    std::string verdict = decoded.verdict();
    // A view never reads a gzip trailer's announcement, which for a file cut
    // short is whatever its last four bytes hold: decoding it whole refuses
    // an announcement of 2 GiB or more, where the view finds the data cut.
    if (verdict.ends_with("gzip larger than 2GB"))
      verdict = error_record(typeid(exception_io_data).name(), " corrupt file");
    // A member before the damage now opens; the later ones, the listing
    // and a name that is not there fail as the whole decoding did.
    EXPECT_NE(open_and_stat(nested(d.kind, file, "early")).find(" ok |"), std::string::npos);
    for (const char* name : {"late", "missing"}) {
      SCOPED_TRACE(name);
      EXPECT_EQ(open_and_stat(nested(d.kind, file, name)), " " + verdict + " |  " + verdict);
    }
    // The listing reports the members before the damage, then fails.
    std::string listed = listing(inner);
    ASSERT_TRUE(listed.ends_with(verdict)) << listed;
    EXPECT_TRUE(full.starts_with(listed.substr(0, listed.size() - verdict.size()))) << listed;
  }
}

// An xz file's index is its own claim about its blocks, checked only by
// decoding. One that records block 1 as 512 bytes longer than it is (its
// CRC-32 made right, so that `xz -t` calls the file corrupt only for the
// disagreement) places no member anywhere: opening a member in block 3
// fails, and a member in block 2 opened afterwards, with whatever the first
// open left in the content index, fails too or gives its true bytes.
TEST_F(TarView, AnXzIndexThatMisplacesABlockPlacesNoMember) {
  std::vector<std::pair<std::string, std::string>> members;
  for (int i = 1; i <= 30; ++i) {
    members.push_back({(i < 10 ? "m0" : "m") + std::to_string(i), noise(100000, i)});
  }
  std::string tar_bytes = make_tar(members);
  tool_result made = run_tool("xz -c -q -T1 --block-size=1MiB -0", tar_bytes);
  ASSERT_EQ(made.status, 0);
  std::string xz = made.output;

  // The index: after the last 12 bytes' footer, whose backward size says
  // how long it is; an indicator byte, the record count, then each
  // block's unpadded and uncompressed sizes as variable-length integers.
  auto get_u32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{static_cast<uint8_t>(xz[at + i])} << (8 * i);
    return v;
  };
  auto skip_number = [&](size_t at) {
    while (static_cast<uint8_t>(xz[at]) & 0x80) ++at;
    return at + 1;
  };
  size_t index_size = (size_t{get_u32(xz.size() - 8)} + 1) * 4;
  size_t index_start = xz.size() - 12 - index_size;
  size_t size_at = skip_number(skip_number(index_start + 1));  // block 1's uncompressed size
  // 1 MiB is written in three bytes 80 80 40; 1 MiB + 512 in 80 84 40.
  ASSERT_EQ(xz.substr(size_at, 3), std::string("\x80\x80\x40", 3));
  xz[size_at + 1] = '\x84';
  size_t crc_at = index_start + index_size - 4;
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(xz.data() + index_start),
                    static_cast<uInt>(crc_at - index_start));
  for (int i = 0; i < 4; ++i) xz[crc_at + i] = static_cast<char>(crc >> (8 * i));
  tool_result tested = run_tool_diagnostics("xz -t", xz);
  ASSERT_NE(tested.status, 0);
  ASSERT_NE(tested.output.find("Compressed data is corrupt"), std::string::npos);

  std::string plain = host.put("m.tar", tar_bytes);
  std::string file = host.put("m.tar.xz", xz);
  const std::string corrupt = error_record(typeid(exception_io_data).name(), "Corrupt XZ data");
  const std::string refused = " " + corrupt + " |  " + corrupt;
  EXPECT_EQ(open_and_stat(nested("xz", file, "m25")), refused);
  plix::string8 m12;
  make_member_path(m12, tar, plain.c_str(), "m12");
  std::string later = open_and_stat(nested("xz", file, "m12"));
  if (later != refused) {
    EXPECT_EQ(later, open_and_stat(m12.get_ptr()));
  }
}

TEST_F(TarView, AChangedFileIsANewIndexKey) {
  const std::string name = "k.tar.gz";
  std::string file = host.put(name, gzip_member(make_tar({{"m", "one"}})));
  EXPECT_EQ(listing(archive_of(nested("gz", file, "-"))).substr(0, 2), "m ");
  // Another size.
  host.put(name, gzip_member(make_tar({{"m", "three"}})));
  file_ptr f;
  filesystem::g_open(f, nested("gz", file, "m").c_str(), open_mode_read, abort);
  EXPECT_EQ(read_all(*f), "three");
  // The same size, another time stamp.
  host.put(name, gzip_member(make_tar({{"m", "four!"}})));
  host.mem().timestamp += 1;
  filesystem::g_open(f, nested("gz", file, "m").c_str(), open_mode_read, abort);
  EXPECT_EQ(read_all(*f), "four!");
  EXPECT_EQ(content_index_size(), 3u);
  // The same size and time stamp, rewritten in place with its members
  // elsewhere (stored, so that both files are the same size): the table of
  // the first must not place the second's member.
  std::string a(5000, 'a'), y(5000, 'y');
  std::string original = gzip_member(make_tar({{"x", a}, {"y", y}}), 0);
  host.put(name, original);
  EXPECT_EQ(listing(archive_of(nested("gz", file, "-"))).substr(0, 2), "x ");
  std::string rewritten = gzip_member(make_tar({{"y", y}, {"x", a}}), 0);
  ASSERT_EQ(rewritten.size(), original.size());
  host.put(name, rewritten);
  filesystem::g_open(f, nested("gz", file, "y").c_str(), open_mode_read, abort);
  EXPECT_TRUE(read_all(*f) == y) << "y from the rewritten file";
  filesystem::g_open(f, nested("gz", file, "x").c_str(), open_mode_read, abort);
  EXPECT_TRUE(read_all(*f) == a) << "x from the rewritten file";
}

// A member table row whose entry is no longer that member is never served:
// the index is forgotten and the member found by a new walk.
TEST_F(TarView, ATableRowIsConfirmedBeforeItsMemberIsServed) {
  std::string file = host.put("t.tar.gz", gzip_member(make_tar({{"x", "xx"}, {"y", "yy"}})));
  std::string inner = archive_of(nested("gz", file, "-"));
  EXPECT_EQ(listing(inner).substr(0, 2), "x ");
  file_ptr view = archive_impl::open_archive(inner.c_str(), abort);
  auto* decoded = dynamic_cast<decoded_view*>(view.get_ptr());
  ASSERT_NE(decoded, nullptr);
  std::vector<tar_recorded_member> rows =
      decoded->entry()
          .attachment<tar_member_table>(
              [](const std::vector<uint8_t>&) { return std::shared_ptr<tar_member_table>(); })
          ->members();
  ASSERT_EQ(rows.size(), 2u);
  // A table that says "y" is where "x" is.
  auto forged = std::make_shared<tar_member_table>();
  tar_member y_at_x = rows[0].member;
  y_at_x.name = rows[1].member.name;
  forged->record(rows[0].before, y_at_x, rows[1].before);
  decoded->entry().reset();
  decoded->entry().attachment<tar_member_table>([&](const std::vector<uint8_t>&) { return forged; });
  file_ptr f;
  filesystem::g_open(f, nested("gz", file, "y").c_str(), open_mode_read, abort);
  EXPECT_EQ(read_all(*f), "yy");
}

// A gzip file of content past 4 GiB: a member of 4.5 GiB of zeros, then a
// small one. The zeros are deflated once, in 1 MiB pieces each ending with a
// full flush, so that every piece compresses to the same bytes and the file
// is made by repeating them.
TEST_F(TarView, AGzipOfMoreThan4GiBListsAndOpensItsLastMember) {
  constexpr uint64_t big = (uint64_t{9} << 29);  // 4.5 GiB
  constexpr uint32_t piece = 1 << 20;
  std::string header_tar = make_tar({{"zeros", ""}, {"last.txt", "the end\n"}});
  // The header of "zeros" with the big size, then the rest of the archive.
  std::string first_header = header_tar.substr(0, 512);
  char size_field[12];
  std::snprintf(size_field, sizeof size_field, "%011llo", static_cast<unsigned long long>(big));
  first_header.replace(124, 11, size_field, 11);
  first_header.replace(148, 8, "        ");
  unsigned sum = 0;
  for (unsigned char c : first_header) sum += c;
  char checksum[8];
  std::snprintf(checksum, sizeof checksum, "%06o", sum);
  first_header.replace(148, 7, checksum, 7);
  std::string rest = header_tar.substr(512);

  z_stream s{};
  ASSERT_EQ(deflateInit2(&s, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  auto deflate_piece = [&](const std::string& in, int flush) {
    std::string out(in.size() + 1024, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_NE(deflate(&s, flush), Z_STREAM_ERROR);
    out.resize(out.size() - s.avail_out);
    return out;
  };
  std::string zeros(piece, '\0');
  std::string gz("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10);
  gz += deflate_piece(first_header, Z_FULL_FLUSH);
  std::string zeros_deflated = deflate_piece(zeros, Z_FULL_FLUSH);
  ASSERT_EQ(deflate_piece(zeros, Z_FULL_FLUSH), zeros_deflated);
  uLong crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(first_header.data()), 512);
  uLong zeros_crc =
      crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(zeros.data()), piece);
  for (uint64_t done = 0; done < big; done += piece) {
    gz += zeros_deflated;
    crc = crc32_combine(crc, zeros_crc, piece);
  }
  gz += deflate_piece(rest, Z_FINISH);
  deflateEnd(&s);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(rest.data()), static_cast<uInt>(rest.size()));
  uint64_t total = 512 + big + rest.size();
  for (uint64_t v : {uint64_t{crc}, total}) {
    for (int i = 0; i < 4; ++i) gz += static_cast<char>((v >> (8 * i)) & 0xFF);
  }

  std::string file = host.put("huge.tar.gz", gz);
  std::string inner = archive_of(nested("gz", file, "-"));
  struct names : member_callback {
    std::string text;
    bool is_aborting() const override { return false; }
    void* get_abort_event() const override { return nullptr; }
    bool on_member(archive*, const char* path, const file_stats& stats, file_ptr&) override {
      plix::string8 archive, name;
      parse_member_path(path, archive, name);
      text += std::string(name.get_ptr()) + " " + std::to_string(stats.size) + "\n";
      return true;
    }
  } listed;
  file_ptr none;
  tar.list_members(inner.c_str(), none, listed, false);
  EXPECT_EQ(listed.text, "zeros " + std::to_string(big) + "\nlast.txt 8\n");
  file_ptr f;
  filesystem::g_open(f, nested("gz", file, "last.txt").c_str(), open_mode_read, abort);
  EXPECT_EQ(read_all(*f), "the end\n");
  EXPECT_THROW_EXACT(
      filesystem::g_open(f, nested("gz", file, "zeros").c_str(), open_mode_read, abort),
      plix::bad_alloc, "bad allocation");
}
