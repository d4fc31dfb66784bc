#include "base/ZipArchiver.hpp"

#include <sys/stat.h>
#include <zip.h>

#include "base/PrivateFiles.hpp"

namespace tarnix::base {

std::expected<void, ZipArchiverError> ZipArchiver::archive(const std::filesystem::path& folder,
                                                           const std::string& sourceFileName,
                                                           const std::string& targetFileName) {
  auto source = folder / sourceFileName;
  auto target = folder / targetFileName;
  struct stat info {};
  if (::stat(source.c_str(), &info) != 0) {
    return std::unexpected(ZipArchiverError{ZIP_ER_OPEN, "cannot read " + source.string()});
  }
  int openError = 0;
  zip_t* archive = zip_open(target.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &openError);
  if (!archive) {
    zip_error_t error;
    zip_error_init_with_code(&error, openError);
    ZipArchiverError result{openError, zip_error_strerror(&error)};
    zip_error_fini(&error);
    return std::unexpected(result);
  }
  auto fail = [archive]() {
    ZipArchiverError result{zip_error_code_zip(zip_get_error(archive)),
                            zip_error_strerror(zip_get_error(archive))};
    zip_discard(archive);
    return std::unexpected(result);
  };
  zip_source_t* data = zip_source_file(archive, source.c_str(), 0, 0);
  if (!data) return fail();
  zip_int64_t index = zip_file_add(archive, sourceFileName.c_str(), data, ZIP_FL_ENC_UTF_8);
  if (index < 0) {
    zip_source_free(data);
    return fail();
  }
  auto i = static_cast<zip_uint64_t>(index);
  if (zip_set_file_compression(archive, i, ZIP_CM_DEFLATE, 0) != 0) return fail();
  if (zip_file_set_mtime(archive, i, info.st_mtime, 0) != 0) return fail();
  zip_uint32_t attributes = static_cast<zip_uint32_t>(info.st_mode) << 16;
  if (zip_file_set_external_attributes(archive, i, 0, ZIP_OPSYS_UNIX, attributes) != 0) {
    return fail();
  }
  if (zip_close(archive) != 0) return fail();
  // libzip gives a new archive the umask's mode.
  if (auto failed = makePrivate(target)) {
    return std::unexpected(ZipArchiverError{ZIP_ER_WRITE, failed.message()});
  }
  return {};
}

}  // namespace tarnix::base
