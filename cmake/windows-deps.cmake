# What the Windows build takes from the build machine: Boost, spdlog and fmt as headers (Boost.JSON
# and Boost.URL compiled from their src.hpp into one library), GoogleTest from its Debian source,
# zlib from Debian's MinGW build. The targets carry the names the Linux build gets from
# find_package, so the rest of the build is the same on both.
set(_host_headers ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${_host_headers})
foreach(dir boost spdlog fmt)
  if(NOT EXISTS ${_host_headers}/${dir})
    file(CREATE_LINK /usr/include/${dir} ${_host_headers}/${dir} SYMBOLIC)
  endif()
endforeach()

add_library(host_headers INTERFACE)
target_include_directories(host_headers SYSTEM INTERFACE ${_host_headers})
target_compile_definitions(host_headers INTERFACE
  FMT_HEADER_ONLY
  BOOST_ALL_NO_LIB
  # Windows 10 is the oldest Windows the programs run on.
  _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000
  WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE
  # Log files are opened by their UTF-16 name, so a profile folder with any name works.
  SPDLOG_WCHAR_FILENAMES)

add_library(boost_compiled STATIC ${CMAKE_SOURCE_DIR}/cmake/boost_sources.cpp)
target_link_libraries(boost_compiled PUBLIC host_headers ws2_32 mswsock)

foreach(name Boost::json Boost::url Boost::headers spdlog::spdlog fmt::fmt)
  string(REPLACE "::" "_" target ${name})
  add_library(${target}_imported INTERFACE)
  target_link_libraries(${target}_imported INTERFACE boost_compiled)
  add_library(${name} ALIAS ${target}_imported)
endforeach()

# Debian's MinGW zlib comes as a DLL and as a static library: the static one, so that no DLL has
# to travel with the programs.
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)

if(SWITCHYARD_BUILD_TESTS)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
