# Third-party pieces: Boost (headers, and program_options built from Debian's
# source package for Windows), nlohmann JSON, zlib, GoogleTest.

if(CMAKE_CROSSCOMPILING)
  # Reach the system's Boost and nlohmann headers through folders that hold
  # nothing else, so that no Linux header leaks into a MinGW build.
  set(ZP_SYSINC ${CMAKE_BINARY_DIR}/sysinc)
  file(MAKE_DIRECTORY ${ZP_SYSINC})
  foreach(dir boost nlohmann)
    if(NOT EXISTS ${ZP_SYSINC}/${dir})
      file(CREATE_LINK /usr/include/${dir} ${ZP_SYSINC}/${dir} SYMBOLIC)
    endif()
  endforeach()
  add_library(zp_boost INTERFACE)
  target_include_directories(zp_boost SYSTEM INTERFACE ${ZP_SYSINC})
  target_compile_definitions(zp_boost INTERFACE BOOST_ALL_NO_LIB _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
  add_library(zp_json INTERFACE)
  target_include_directories(zp_json SYSTEM INTERFACE ${ZP_SYSINC})
else()
  find_package(Boost 1.74 REQUIRED)
  add_library(zp_boost INTERFACE)
  target_link_libraries(zp_boost INTERFACE Boost::headers)
  find_package(nlohmann_json 3.11 REQUIRED)
  add_library(zp_json INTERFACE)
  target_link_libraries(zp_json INTERFACE nlohmann_json::nlohmann_json)
endif()

# Boost.program_options.
if(CMAKE_CROSSCOMPILING)
  file(GLOB ZP_PO_SOURCES ${ZP_CACHE_DIR}/boost-program-options-*/src/*.cpp)
  if(NOT ZP_PO_SOURCES)
    message(FATAL_ERROR "Boost.program_options sources missing: run scripts/deps")
  endif()
  add_library(zp_program_options STATIC ${ZP_PO_SOURCES})
  target_link_libraries(zp_program_options PUBLIC zp_boost)
  target_compile_options(zp_program_options PRIVATE -w)
else()
  find_package(Boost 1.74 REQUIRED COMPONENTS program_options)
  add_library(zp_program_options INTERFACE)
  target_link_libraries(zp_program_options INTERFACE Boost::program_options)
endif()

# GoogleTest: Debian's source package for the Windows trees, the packaged
# libraries natively.
if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_library(zp_gtest INTERFACE)
  target_link_libraries(zp_gtest INTERFACE gtest gtest_main)
else()
  find_package(GTest REQUIRED)
  add_library(zp_gtest INTERFACE)
  target_link_libraries(zp_gtest INTERFACE GTest::gtest GTest::gtest_main)
endif()

find_package(Threads REQUIRED)

# OpenSSL (TLS of the WebSocket transport): Debian's libssl-dev natively; for
# the Windows x64 tree the static libraries scripts/deps builds with MinGW
# from Debian's source package of the same version line.
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    file(GLOB ZP_OPENSSL_DIRS LIST_DIRECTORIES true ${ZP_CACHE_DIR}/openssl-mingw64-*)
    list(SORT ZP_OPENSSL_DIRS COMPARE NATURAL ORDER DESCENDING)
    list(GET ZP_OPENSSL_DIRS 0 ZP_OPENSSL_DIR)
    if(NOT ZP_OPENSSL_DIR OR NOT EXISTS ${ZP_OPENSSL_DIR}/lib/libssl.a)
      message(FATAL_ERROR "OpenSSL for MinGW missing: run scripts/deps")
    endif()
    add_library(zp_openssl INTERFACE)
    target_include_directories(zp_openssl SYSTEM INTERFACE ${ZP_OPENSSL_DIR}/include)
    target_link_libraries(zp_openssl INTERFACE ${ZP_OPENSSL_DIR}/lib/libssl.a ${ZP_OPENSSL_DIR}/lib/libcrypto.a
                          crypt32 ws2_32 gdi32 user32 advapi32)
  endif()
else()
  find_package(OpenSSL 3 REQUIRED)
  add_library(zp_openssl INTERFACE)
  target_link_libraries(zp_openssl INTERFACE OpenSSL::SSL OpenSSL::Crypto)
endif()
