// Loads the real brenmoor.dll through the stand-in host and checks what the
// host sees across the library boundary.
#include "host/module_loader.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "abi/unpacker.h"
#include "archive/archive.h"
#include "component/identity.h"
#include "host/host.h"
#include "tests/support/expect_throw.h"
#include "tests/support/identity_texts.h"
#include "tests/support/temp_folder.h"

using namespace sonovale_io;

namespace {

struct expected_service {
  GUID class_id;
  service_kind kind;
  const char* type;
};

// The factory list as the host must see it once every format is in.
const expected_service full_list[] = {
    {component_installation_validator::class_guid, service_kind::installation_validator, ""},
    {componentversion::class_guid, service_kind::componentversion, ""},
    {filesystem::class_guid, service_kind::archive, "tar"},
    {unpacker::class_guid, service_kind::unpacker, "gz"},
    {filesystem::class_guid, service_kind::archive, "gz"},
    {unpacker::class_guid, service_kind::unpacker, "bz2"},
    {filesystem::class_guid, service_kind::archive, "bz2"},
    {unpacker::class_guid, service_kind::unpacker, "xz"},
    {filesystem::class_guid, service_kind::archive, "xz"},
    {unpacker::class_guid, service_kind::unpacker, "zst"},
    {filesystem::class_guid, service_kind::archive, "zst"},
};

const module_service* find_kind(const loaded_module& m, service_kind kind, const char* type = "") {
  for (const module_service& s : m.services()) {
    if (s.kind == kind && s.type == type) return &s;
  }
  return nullptr;
}

class ModuleLoader : public ::testing::Test {
 protected:
  void SetUp() override { host_.load_module(BRENMOOR_MODULE_PATH); }
  const loaded_module& module() { return *host_.module(); }

  sonovale_host host_;
};

TEST_F(ModuleLoader, ClientAnswersVersionAndBuildFlag) {
  EXPECT_EQ(module().client().get_interface_version(), 76u);
  EXPECT_FALSE(module().client().get_build_flag());
  EXPECT_EQ(module().path(), std::string(BRENMOOR_MODULE_PATH));
  EXPECT_EQ(module().name(), "brenmoor");
}

TEST_F(ModuleLoader, FactoriesComeInTheirFixedOrder) {
  // Formats join the list over time; whatever is present must keep the
  // fixed relative order, and the identity services are always first.
  const std::vector<module_service>& services = module().services();
  ASSERT_GE(services.size(), 2u);
  size_t next = 0;
  for (const module_service& s : services) {
    while (next < std::size(full_list) &&
           !(full_list[next].class_id == s.class_id && full_list[next].kind == s.kind &&
             s.type == full_list[next].type)) {
      ++next;
    }
    ASSERT_LT(next, std::size(full_list))
        << "service '" << service_kind_name(s.kind) << " " << s.type << "' out of order";
    ++next;
  }
  EXPECT_EQ(services[0].kind, service_kind::installation_validator);
  EXPECT_EQ(services[1].kind, service_kind::componentversion);

  // The walk saw the module's own list: same length, same class ids, ends in null.
  size_t i = 0;
  service_factory_base* f = module().client().get_factory_list();
  for (; f != nullptr; f = f->next, ++i) {
    ASSERT_LT(i, services.size());
    EXPECT_TRUE(*f->class_id == services[i].class_id);
  }
  EXPECT_EQ(i, services.size());
}

TEST_F(ModuleLoader, HostFilesystemsAreEnumeratedBeforeTheModuleArchives) {
  std::vector<service_base*> filesystems = host_.registry().instances(filesystem::class_guid);
  ASSERT_GE(filesystems.size(), 2u);
  EXPECT_EQ(filesystems[0], static_cast<service_base*>(&host_.native()));
  std::vector<service_base*> archives;
  for (const module_service& s : module().services()) {
    if (s.kind == service_kind::archive) archives.push_back(s.instance.get_ptr());
  }
  ASSERT_EQ(filesystems.size(), 2 + archives.size());
  for (size_t i = 0; i < archives.size(); ++i) EXPECT_EQ(filesystems[2 + i], archives[i]);
}

TEST_F(ModuleLoader, ComponentVersionTexts) {
  const module_service* s = find_kind(module(), service_kind::componentversion);
  ASSERT_NE(s, nullptr);
  auto* version = static_cast<componentversion*>(s->instance.get_ptr());
  expect_identity_texts(*version);
  plix::string8 text;
  version->write_module_name(text);
  EXPECT_STREQ(text.get_ptr(), "brenmoor");
}

TEST_F(ModuleLoader, QueryClassAnswersOnlyImplementedInterfaces) {
  for (const module_service& s : module().services()) {
    SCOPED_TRACE(std::string(service_kind_name(s.kind)) + " " + s.type);
    service_ptr_t<service_base> out;
    EXPECT_EQ(s.instance->query_class(out, s.class_id), s.kind != service_kind::other);
    EXPECT_EQ(out.get_ptr(), s.instance.get_ptr());
    out.release();
    bool is_archive = s.kind == service_kind::archive;
    EXPECT_EQ(s.instance->query_class(out, archive::class_guid), is_archive);
    EXPECT_EQ(out.is_valid(), is_archive);
    out.release();
    // Nothing answers the file identifier, and a miss leaves the output alone.
    EXPECT_FALSE(s.instance->query_class(out, file::class_guid));
    EXPECT_TRUE(out.is_empty());
    // Static services: counting does nothing.
    EXPECT_EQ(s.instance->add_reference(), 1);
    EXPECT_EQ(s.instance->release_reference(), 1);
  }
}

TEST_F(ModuleLoader, InstallationCheckLooksAtTheFileName) {
  const module_service* s = find_kind(module(), service_kind::installation_validator);
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(
      static_cast<component_installation_validator*>(s->instance.get_ptr())->check_installation());

  temp_folder folder("brenmoor-loader");
  struct case_t {
    const char* name;
    bool installed;
  } cases[] = {{"brenmoor.dll", true}, {"Brenmoor.dll", false}, {"brenmoor.dll.bak", false}};
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::path copy = folder.path() + "/" + c.name;
    std::filesystem::copy_file(BRENMOOR_MODULE_PATH, copy);
    host_.load_module(copy.string());
    const module_service* v = find_kind(*host_.module(), service_kind::installation_validator);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(
        static_cast<component_installation_validator*>(v->instance.get_ptr())->check_installation(),
        c.installed);
  }
}

TEST_F(ModuleLoader, ReloadingLeavesOneSetOfRegistrations) {
  size_t before = host_.registry().instances(filesystem::class_guid).size();
  host_.load_module(BRENMOOR_MODULE_PATH);
  EXPECT_EQ(host_.registry().instances(filesystem::class_guid).size(), before);
  EXPECT_EQ(host_.registry().instances(componentversion::class_guid).size(), 1u);
}

TEST_F(ModuleLoader, ModuleExceptionsAreCaughtByTheirBaseInTheHost) {
  // A member path of a missing archive: the host's own exception travels
  // through the module's archive service and back.
  temp_folder folder("brenmoor-loader");
  std::string missing = folder.path() + "/missing.tar";
  std::string member_path = "unpack://tar|" + std::to_string(missing.size()) + "|" + missing + "|m";
  file_ptr f;
  EXPECT_THROW_EXACT(filesystem::g_open(f, member_path.c_str(), open_mode_read, host_.abort()),
                     exception_io_not_found, "Object not found");

  // Thrown inside the module: a write mode refused by the archive base,
  // and a listing of a file whose extension is not the archive's type.
  const module_service* tar = find_kind(module(), service_kind::archive, "tar");
  ASSERT_NE(tar, nullptr);
  auto* archive_service = static_cast<archive_impl*>(tar->instance.get_ptr());
  bool caught = false;
  try {
    archive_service->open(f, member_path.c_str(), open_mode_write_new, host_.abort());
  } catch (const exception_io& e) {
    caught = true;
    EXPECT_EQ(std::string(typeid(e).name()), typeid(exception_io_denied).name());
    EXPECT_STREQ(e.what(), "Access denied");
  }
  EXPECT_TRUE(caught);

  // Corrupt data: a header block whose checksum cannot match.
  std::string bad = folder.write("bad.tar", std::string(512, 'x'));
  struct counting_callback : member_callback {
    bool is_aborting() const override { return false; }
    void* get_abort_event() const override { return nullptr; }
    bool on_member(archive*, const char*, const file_stats&, service_ptr_t<file>&) override {
      ++members;
      return true;
    }
    int members = 0;
  } callback;
  file_ptr none;
  caught = false;
  try {
    archive_service->list_members(bad.c_str(), none, callback, false);
  } catch (const plix::exception& e) {
    caught = true;
    EXPECT_EQ(std::string(typeid(e).name()), typeid(exception_io_data).name());
    EXPECT_STREQ(e.what(), "Unsupported format or corrupted file");
  }
  EXPECT_TRUE(caught);
  EXPECT_EQ(callback.members, 0);
}

TEST(ModuleLoad, UnusableFilesAreRefused) {
  temp_folder folder("brenmoor-loader");
  sonovale_host host;
  EXPECT_THROW(host.load_module(folder.path() + "/absent.dll"), module_load_error);
  EXPECT_THROW(host.load_module(folder.write("text.dll", "not a library")), module_load_error);
  // zlib as the build links it: a library of the program's own
  // architecture that lacks the entry point.
  try {
    host.load_module(ZLIB_LIBRARY_FILE);
    ADD_FAILURE() << "a library without the entry point was loaded";
  } catch (const module_load_error& e) {
    EXPECT_STREQ(e.what(), "the module has no sonovale_get_interface");
  }
  EXPECT_EQ(host.module(), nullptr);
  // Only the host's own filesystems are left.
  EXPECT_EQ(host.registry().instances(filesystem::class_guid).size(), 2u);
}

// Checked in a fresh process: a module that has run code using thread-local
// storage stays mapped after dlclose, and then loads without running its
// start-up code again.
void load_unload_and_compare_handlers() {
  struct sigaction before {};
  ::sigaction(SIGINT, nullptr, &before);
  bool installed;
  {
    sonovale_host host;
    host.load_module(BRENMOOR_MODULE_PATH);
    struct sigaction loaded {};
    ::sigaction(SIGINT, nullptr, &loaded);
    installed = loaded.sa_handler != before.sa_handler;
  }
  struct sigaction after {};
  ::sigaction(SIGINT, nullptr, &after);
  std::_Exit(!installed ? 3 : after.sa_handler == before.sa_handler ? 0 : 4);
}

TEST(ModuleLoadDeathTest, UnloadPutsBackTheSignalHandlersTheModuleTookOver) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(load_unload_and_compare_handlers(), ::testing::ExitedWithCode(0), "");
}

TEST(ModuleExports, ExactlyTheEntryPoint) {
  std::string command = std::string("nm -D --defined-only '") + BRENMOOR_MODULE_PATH + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> symbols;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t space = text.find_last_of(' ');
    symbols.push_back(space == std::string::npos ? text : text.substr(space + 1));
  }
  ASSERT_EQ(::pclose(pipe), 0);
  ASSERT_EQ(symbols.size(), 1u);
  EXPECT_EQ(symbols[0], "sonovale_get_interface");
}

}  // namespace
