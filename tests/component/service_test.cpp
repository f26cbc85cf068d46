#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include "abi/unpacker.h"
#include "archive/archive.h"
#include "component/identity.h"
#include "component/module.h"
#include "io/file_buffer.h"
#include "io/filesystem.h"
#include "tests/support/identity_texts.h"
#include "tests/support/test_host.h"

namespace {

int g_destroyed = 0;

class tracked_file : public file_buffer {
 public:
  tracked_file() : file_buffer(0, 0) {}
  ~tracked_file() { ++g_destroyed; }
};

service_factory_base* factory_at(unsigned index) {
  service_factory_base* f = sonovale_get_interface(nullptr, 0)->get_factory_list();
  while (f != nullptr && index-- != 0) f = f->next;
  return f;
}

}  // namespace

TEST(ServicePointer, FirstAssignmentTakesTheFirstReferenceAndResetFrees) {
  g_destroyed = 0;
  auto* raw = new service_impl_t<tracked_file>();
  service_ptr_t<sonovale_io::file> p;
  p = raw;
  EXPECT_EQ(raw->add_reference(), 2);
  EXPECT_EQ(raw->release_reference(), 1);
  p = p.get_ptr();  // assigning the object held keeps it alive
  EXPECT_EQ(g_destroyed, 0);
  p.release();
  EXPECT_EQ(g_destroyed, 1);
}

TEST(ServicePointer, StaticServicesAlwaysCountOne) {
  service_impl_single_t<componentversion_myimpl> s;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s.add_reference(), 1);
    EXPECT_EQ(s.release_reference(), 1);
  }
}

TEST(QueryClass, IdentityServicesAnswerOnlyTheirInterface) {
  service_impl_single_t<componentversion_myimpl> version;
  service_impl_single_t<component_installation_validator_filename> validator;
  service_ptr_t<service_base> out;
  EXPECT_FALSE(version.query_class(out, unpacker::class_guid));
  EXPECT_TRUE(out.is_empty());
  EXPECT_TRUE(version.query_class(out, componentversion::class_guid));
  EXPECT_EQ(out.get_ptr(), static_cast<service_base*>(&version));
  EXPECT_FALSE(validator.query_class(out, componentversion::class_guid));
  EXPECT_EQ(out.get_ptr(), static_cast<service_base*>(&version));  // untouched
  EXPECT_TRUE(validator.query_class(out, component_installation_validator::class_guid));
  EXPECT_EQ(out.get_ptr(), static_cast<service_base*>(&validator));
}

TEST(Client, FixedAnswersAndFlags) {
  module_client* client = sonovale_get_interface(nullptr, 1);
  EXPECT_EQ(client, sonovale_get_interface(nullptr, 2));
  EXPECT_EQ(client->get_interface_version(), 76u);
  EXPECT_FALSE(client->get_build_flag());
  client->set_host_flag(true);
  client->set_host_flag(false);
  EXPECT_FALSE(module_host_flag());
  EXPECT_TRUE(module_sticky_host_flag());
  EXPECT_EQ(client->get_interface_version(), 76u);
}

TEST(Client, FactoryListIsLinkedInReverseRegistrationOrder) {
  // Registration order is zst archive, zst unpacker, xz archive, xz
  // unpacker, bz2 archive, bz2 unpacker, gz archive, gz unpacker, tar
  // archive, component version, validator; each inserts at the front, so
  // the list runs the other way.
  struct row {
    const GUID* class_id;
    const char* type;  // the archive type, or null
  };
  const row expected[] = {
      {&component_installation_validator::class_guid, nullptr},
      {&componentversion::class_guid, nullptr},
      {&sonovale_io::filesystem::class_guid, "tar"},
      {&unpacker::class_guid, nullptr},
      {&sonovale_io::filesystem::class_guid, "gz"},
      {&unpacker::class_guid, nullptr},
      {&sonovale_io::filesystem::class_guid, "bz2"},
      {&unpacker::class_guid, nullptr},
      {&sonovale_io::filesystem::class_guid, "xz"},
      {&unpacker::class_guid, nullptr},
      {&sonovale_io::filesystem::class_guid, "zst"},
  };
  service_factory_base* f = factory_at(0);
  for (const row& r : expected) {
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(*f->class_id == *r.class_id);
    if (r.type != nullptr) {
      service_ptr_t<service_base> instance;
      f->provide_instance(instance);
      service_ptr_t<service_base> as_archive;
      ASSERT_TRUE(instance->query_class(as_archive, sonovale_io::archive::class_guid));
      EXPECT_STREQ(static_cast<sonovale_io::archive_impl*>(
                       static_cast<sonovale_io::filesystem*>(as_archive.get_ptr()))
                       ->get_type_name(),
                   r.type);
      service_ptr_t<service_base> none;
      EXPECT_FALSE(instance->query_class(none, unpacker::class_guid));
      EXPECT_TRUE(none.is_empty());
    }
    f = f->next;
  }
  EXPECT_EQ(f, nullptr);
}

TEST(QueryClass, UnpackersHandOutTheSameStaticObject) {
  service_ptr_t<service_base> instance, first, second;
  factory_at(3)->provide_instance(instance);
  ASSERT_TRUE(instance->query_class(first, unpacker::class_guid));
  ASSERT_TRUE(instance->query_class(second, unpacker::class_guid));
  EXPECT_EQ(first.get_ptr(), second.get_ptr());
  EXPECT_EQ(first->add_reference(), 1);
  EXPECT_EQ(first->release_reference(), 1);
  EXPECT_FALSE(instance->query_class(first, sonovale_io::filesystem::class_guid));
}

TEST(Identity, VersionTexts) {
  service_ptr_t<service_base> instance;
  factory_at(1)->provide_instance(instance);
  expect_identity_texts(*static_cast<componentversion*>(instance.get_ptr()));
}

TEST(Identity, InstallationCheckComparesTheFileNameExactly) {
  module_client* client = sonovale_get_interface(nullptr, 0);
  service_ptr_t<service_base> instance;
  factory_at(0)->provide_instance(instance);
  auto* validator = static_cast<component_installation_validator*>(instance.get_ptr());
  struct row {
    const char* path;
    bool installed;
  };
  const row rows[] = {
      {"C:\\Program Files\\Player\\components\\brenmoor.dll", true},
      {"C:\\Program Files\\Player\\components\\BRENMOOR.DLL", false},
      {"brenmoor.dll", true},
      {"C:brenmoor.dll", true},
      {"archive|brenmoor.dll", true},
      {"/usr/lib/player/brenmoor.dll", true},
      {"C:\\components\\", false},
      {"C:\\components\\brenmoor.dll.bak", false},
      {"C:\\components\\old_brenmoor.dll", false},
      {"", false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.path);
    client->set_module_path(r.path, "name");
    EXPECT_EQ(validator->check_installation(), r.installed);
  }
}

TEST(Identity, ModulePathIsReplacedAsAPair) {
  module_client* client = sonovale_get_interface(nullptr, 0);
  client->set_module_path("first/brenmoor.dll", "first");
  client->set_module_path("second/other.dll", "second");
  EXPECT_STREQ(module_path_text(), "second/other.dll");
  EXPECT_STREQ(module_name_text(), "second");
  service_ptr_t<service_base> instance;
  factory_at(1)->provide_instance(instance);
  plix::string8 text;
  static_cast<componentversion*>(instance.get_ptr())->write_module_name(text);
  EXPECT_STREQ(text.get_ptr(), "second");
}

TEST(Enumeration, AClassWithoutInstancesMakesOneCall) {
  test_host host;
  unsigned before = host.registry().instantiate_calls();
  service_enum_t<unpacker> walk;
  service_ptr_t<unpacker> current;
  EXPECT_FALSE(walk.next(current));
  EXPECT_TRUE(current.is_empty());
  EXPECT_EQ(host.registry().instantiate_calls() - before, 1u);
}

TEST(FatalSignalDeathTest, ReportsTheCodeAndEndsBySignal) {
  sonovale_get_interface(nullptr, 0);  // the handler is installed at load
  EXPECT_EXIT(std::raise(SIGTERM), testing::KilledBySignal(SIGTERM),
              "fatal signal 15 \\(code 0x6F8E1DC8\\)");
  EXPECT_EXIT(std::abort(), testing::KilledBySignal(SIGABRT), "fatal signal 6 ");
}
