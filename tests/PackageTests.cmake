# The kit as it is distributed: its installed headers, its LV2 bundle checked by
# lv2lint, and its Debian packages. Everything but the header test is labelled
# `package`: scripts/test.sh runs those once, apart from the sanitizer runs.

add_test(NAME installed_headers_compile_alone
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/headers-alone.sh ${CMAKE_BINARY_DIR})

# lv2lint is built from its source, which lies in the shared tools folder beside
# the source tree; without it the test is skipped.
set(UX_SHARED_TOOLS_DIR ${PROJECT_SOURCE_DIR}/../shared/tools CACHE PATH
  "Folder holding lv2lint-0.17-src.tar.gz")
add_test(NAME lv2lint_bundle COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/lv2lint.sh
  ${UX_SHARED_TOOLS_DIR} ${UX_LV2_BUNDLE_DIR} ${CMAKE_BINARY_DIR}/lv2lint)
set_tests_properties(lv2lint_bundle PROPERTIES LABELS package SKIP_RETURN_CODE 77 TIMEOUT 600)

# The packages are built once (package_build) for the tests that read them. Each
# is skipped unless UX_PACKAGE_TESTS=1 or CI=true (package.sh says more).
set(package ${CMAKE_CURRENT_SOURCE_DIR}/package.sh)
set(package_dir ${CMAKE_BINARY_DIR}/package)
add_test(NAME package_build COMMAND ${package} build ${package_dir} ${PROJECT_SOURCE_DIR})
add_test(NAME package_contents COMMAND ${package} contents ${package_dir})
add_test(NAME package_installed COMMAND ${package} install ${package_dir} ${PROJECT_SOURCE_DIR})
set_tests_properties(package_build PROPERTIES FIXTURES_SETUP ux_package TIMEOUT 1800 LABELS "package;slow")
set_tests_properties(package_contents package_installed PROPERTIES FIXTURES_REQUIRED ux_package TIMEOUT 600
  LABELS package)
set_tests_properties(package_build package_contents package_installed PROPERTIES SKIP_RETURN_CODE 77)

# The VST3 bundles in Ardour 7 (vst3-bundle.sh says what each mode checks). A host
# loads the adapter as a plain library, so sanitizer builds leave this out.
if(NOT UX_SANITIZE)
  set(vst3_ardour ${CMAKE_CURRENT_SOURCE_DIR}/vst3-bundle.sh)
  add_test(NAME vst3_ardour_scan COMMAND ${vst3_ardour} scan ${UX_VST3_BUNDLE_DIR})
  add_test(NAME vst3_ardour_song COMMAND ${vst3_ardour} song ${UX_VST3_BUNDLE_DIR} $<TARGET_FILE:uxhost>)
  set_tests_properties(vst3_ardour_scan vst3_ardour_song PROPERTIES LABELS package SKIP_RETURN_CODE 77
    TIMEOUT 300)
  set_tests_properties(vst3_ardour_song PROPERTIES ENVIRONMENT_MODIFICATION "${uxhost_addons}")
endif()
