# Self-contained builds for wheels (KARVALITH_VENDOR_DEPS): libcrypto and zlib
# are linked statically into the module and their symbols kept hidden, so they
# cannot clash with other copies in the process. ICU stays shared (Debian's
# static libicuuc is not position-independent): auditwheel copies libicuuc into
# the wheel, and with it this build's libicudata, a data package holding only
# the items in icu_data_items.txt instead of ICU's 30 MB. libstdc++ stays
# shared: libicuuc needs it anyway, and the static one would raise the glibc
# floor to 2.36 (its random_device calls arc4random).

get_filename_component(icu_library_dir "${ICU_UC_LIBRARY}" DIRECTORY)
find_library(KARVALITH_ICU_DATA_ARCHIVE NAMES libicudata.a HINTS "${icu_library_dir}")
find_program(KARVALITH_ICUPKG icupkg PATHS /usr/sbin /usr/local/sbin)
find_program(KARVALITH_GENCCODE genccode PATHS /usr/sbin /usr/local/sbin)
foreach(needed KARVALITH_ICU_DATA_ARCHIVE KARVALITH_ICUPKG KARVALITH_GENCCODE)
  if(NOT ${needed})
    message(FATAL_ERROR "A self-contained build needs ICU's static data library and its data tools "
                        "(${needed} not found): apt-get install libicu-dev icu-devtools")
  endif()
endforeach()
foreach(archive OPENSSL_CRYPTO_LIBRARY ZLIB_LIBRARY_RELEASE ZLIB_LIBRARY)
  if(${archive} AND NOT ${archive} MATCHES "\\.a$")
    message(FATAL_ERROR "A self-contained build needs a static ${archive} (found ${${archive}}): "
                        "apt-get install libssl-dev zlib1g-dev")
  endif()
endforeach()

string(REGEX MATCH "^[0-9]+" icu_major "${ICU_VERSION}")
set(icu_data_source "${CMAKE_BINARY_DIR}/icu_data/icudt${icu_major}l_dat.S")
add_custom_command(
  OUTPUT "${icu_data_source}"
  COMMAND "${CMAKE_COMMAND}" -DDATA_ARCHIVE=${KARVALITH_ICU_DATA_ARCHIVE}
          -DITEMS=${CMAKE_CURRENT_LIST_DIR}/icu_data_items.txt -DVERSION=${icu_major}
          -DICUPKG=${KARVALITH_ICUPKG} -DGENCCODE=${KARVALITH_GENCCODE}
          -DWORK=${CMAKE_BINARY_DIR}/icu_data/work -DOUTPUT=${icu_data_source}
          -P "${CMAKE_CURRENT_LIST_DIR}/make_icu_data.cmake"
  DEPENDS "${CMAKE_CURRENT_LIST_DIR}/icu_data_items.txt" "${CMAKE_CURRENT_LIST_DIR}/make_icu_data.cmake"
  COMMENT "ICU data package with the listed items only")
# Same name and version as the system's libicudata, so that scripts/build-wheel.sh
# can put it first on the library path when auditwheel collects the libraries.
enable_language(ASM)
string(REGEX MATCH "^[0-9]+\\.[0-9]+" icu_version "${ICU_VERSION}")
add_library(karvalith_icu_data SHARED "${icu_data_source}")
set_target_properties(karvalith_icu_data PROPERTIES
  OUTPUT_NAME icudata VERSION ${icu_version} SOVERSION ${icu_major} LINKER_LANGUAGE CXX
  LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/icu_data")

add_link_options(LINKER:--exclude-libs,ALL)
