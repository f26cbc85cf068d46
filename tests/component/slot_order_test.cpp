// The operation tables are the binary contract with the host: every
// interface's operations must sit in their fixed slots. Under the Itanium
// C++ ABI a pointer to a virtual member function holds 1 + the byte offset
// of its slot, which lets the test read the slot without calling anything.
#include <gtest/gtest.h>

#include <cstring>

#include "abi/unpacker.h"
#include "archive/archive.h"
#include "component/identity.h"
#include "component/module.h"

using namespace sonovale_io;

namespace {

template <typename F>
int slot(F member) {
  static_assert(sizeof(F) == 2 * sizeof(void*));
  uintptr_t raw;
  std::memcpy(&raw, &member, sizeof raw);
  EXPECT_EQ(raw % sizeof(void*), 1u) << "not a virtual function";
  return static_cast<int>((raw - 1) / sizeof(void*)) + 1;
}

}  // namespace

TEST(SlotOrder, ServiceBaseAndFile) {
  EXPECT_EQ(slot(&service_base::release_reference), 1);
  EXPECT_EQ(slot(&service_base::add_reference), 2);
  EXPECT_EQ(slot(&service_base::query_class), 3);

  EXPECT_EQ(slot(&stream_reader::read), 1);
  EXPECT_EQ(slot(&stream_reader::read_object), 2);
  EXPECT_EQ(slot(&stream_reader::skip), 3);
  EXPECT_EQ(slot(&stream_reader::skip_object), 4);
  EXPECT_EQ(slot(&stream_writer::write), 1);

  EXPECT_EQ(slot(&file::get_size), 4);
  EXPECT_EQ(slot(&file::get_position), 5);
  EXPECT_EQ(slot(&file::resize), 6);
  EXPECT_EQ(slot(&file::seek), 7);
  EXPECT_EQ(slot(&file::seek_relative), 8);
  EXPECT_EQ(slot(&file::can_seek), 9);
  EXPECT_EQ(slot(&file::get_extra_info), 10);
  EXPECT_EQ(slot(&file::is_in_memory), 11);
  EXPECT_EQ(slot(&file::on_hint), 12);
  EXPECT_EQ(slot(&file::get_timestamp), 13);
  EXPECT_EQ(slot(&file::reopen), 14);
  EXPECT_EQ(slot(&file::is_remote), 15);
  // The seeking skip takes the slot after is_remote in the main table.
  EXPECT_EQ(slot(&file::skip), 16);
}

TEST(SlotOrder, FilesystemAndArchive) {
  EXPECT_EQ(slot(&filesystem::get_canonical_path), 4);
  EXPECT_EQ(slot(&filesystem::is_our_path), 5);
  EXPECT_EQ(slot(&filesystem::get_display_path), 6);
  EXPECT_EQ(slot(&filesystem::open), 7);
  EXPECT_EQ(slot(&filesystem::remove_object), 8);
  EXPECT_EQ(slot(&filesystem::move_object), 9);
  EXPECT_EQ(slot(&filesystem::is_remote), 10);
  EXPECT_EQ(slot(&filesystem::get_stats), 11);
  EXPECT_EQ(slot(&filesystem::make_reference_path), 12);
  EXPECT_EQ(slot(&filesystem::resolve_reference_path), 13);
  EXPECT_EQ(slot(&filesystem::create_directory), 14);
  EXPECT_EQ(slot(&filesystem::list_directory), 15);
  EXPECT_EQ(slot(&filesystem::supports_folders), 16);
  EXPECT_EQ(slot(&archive::list_members), 17);
  EXPECT_EQ(slot(&archive_impl::get_type_name), 18);
  EXPECT_EQ(slot(&archive_impl::get_member_stats), 19);
  EXPECT_EQ(slot(&archive_impl::open_member), 20);
  EXPECT_EQ(slot(&archive_impl::is_our_archive_extension), 21);

  EXPECT_EQ(slot(&abort_callback::is_aborting), 1);
  EXPECT_EQ(slot(&abort_callback::get_abort_event), 2);
  EXPECT_EQ(slot(&member_callback::on_member), 3);
}

TEST(SlotOrder, ClientIdentityAndHelpers) {
  EXPECT_EQ(slot(&module_client::get_interface_version), 1);
  EXPECT_EQ(slot(&module_client::get_factory_list), 2);
  EXPECT_EQ(slot(&module_client::write_config), 3);
  EXPECT_EQ(slot(&module_client::read_config), 4);
  EXPECT_EQ(slot(&module_client::set_module_path), 5);
  EXPECT_EQ(slot(&module_client::set_host_flag), 6);
  EXPECT_EQ(slot(&module_client::get_build_flag), 7);
  EXPECT_EQ(slot(&host_api::lookup_service_class), 1);
  EXPECT_EQ(slot(&host_api::instantiate_service), 2);
  EXPECT_EQ(slot(&service_factory_base::provide_instance), 1);
  EXPECT_EQ(slot(&unpacker::unpack_file), 4);
  EXPECT_EQ(slot(&componentversion::write_module_name), 4);
  EXPECT_EQ(slot(&componentversion::write_display_name), 5);
  EXPECT_EQ(slot(&componentversion::write_version), 6);
  EXPECT_EQ(slot(&componentversion::write_description), 7);
  EXPECT_EQ(slot(&componentversion_libraries::write_module_name), 4);
  EXPECT_EQ(slot(&componentversion_libraries::write_library_versions), 8);
  EXPECT_EQ(slot(&component_installation_validator::check_installation), 4);

  EXPECT_EQ(slot(&plix::string_base::add_string), 1);
  EXPECT_EQ(slot(&plix::string_base::get_ptr), 2);
  EXPECT_EQ(slot(&plix::string_base::set_string), 3);
  EXPECT_EQ(slot(&plix::string_base::truncate), 4);
  EXPECT_EQ(slot(&plix::string_base::get_length), 5);
  EXPECT_EQ(slot(&plix::string_base::lock_buffer), 6);
  EXPECT_EQ(slot(&plix::string_base::unlock_buffer), 7);
}

TEST(SlotOrder, FactoryFieldsFollowTheTable) {
  service_factory_base* f = sonovale_get_interface(nullptr, 0)->get_factory_list();
  ASSERT_NE(f, nullptr);
  auto* words = reinterpret_cast<void**>(f);
  EXPECT_EQ(words[1], static_cast<void*>(f->next));
  EXPECT_EQ(words[2], static_cast<const void*>(f->class_id));
  EXPECT_EQ(sizeof(file_stats), 16u);
  EXPECT_EQ(sizeof(service_ptr_t<file>), sizeof(void*));
  EXPECT_EQ(sizeof(open_mode), 4u);
  EXPECT_EQ(sizeof(seek_origin), 4u);
}
