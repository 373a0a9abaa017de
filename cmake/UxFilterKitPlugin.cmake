# ux_add_filter_plugin(NAME ICON icon-source SOURCES source...)
#
# Builds the filter plug-in NAME.so from SOURCES and the kit's skeleton
# (UxFilterKit::AddOnKit), the same way for every plug-in of the kit and of its
# users:
#   - hidden visibility, a link that exports make_nth_filter alone, and every
#     reference of the library bound to the library itself, so that plug-ins loaded
#     into one process never reach into each other, whatever the order or the
#     loading mode;
#   - IEEE double arithmetic one operation at a time (no fused multiply-add);
#   - after linking, uxres attaches the icon (a text grid, ICON) and the file type
#     behind the ELF data;
#   - built with the RPATH it is installed with, so that installing copies the file
#     unchanged (a rewritten file would lose the resources), and installed into the
#     add-ons folder.
#
# Read when it is called, with defaults for a project of its own:
#   UX_FILTER_PLUGIN_RPATH        the plug-ins' RPATH
#   UX_FILTER_PLUGIN_OUTPUT_DIR   where the build puts them (add-ons/ of the build)
#   UX_FILTER_PLUGIN_INSTALL_DIR  where they are installed (lib/ux-add-ons)
function(ux_add_filter_plugin name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "ICON" "SOURCES")
  if(NOT arg_ICON OR NOT arg_SOURCES OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "ux_add_filter_plugin(${name}) takes ICON file and SOURCES file...")
  endif()
  get_filename_component(icon "${arg_ICON}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  set(export_map "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/filter-plugin.map")
  set(output_dir "${UX_FILTER_PLUGIN_OUTPUT_DIR}")
  if(NOT output_dir)
    set(output_dir "${CMAKE_BINARY_DIR}/add-ons")
  endif()
  set(install_dir "${UX_FILTER_PLUGIN_INSTALL_DIR}")
  if(NOT install_dir)
    set(install_dir "lib/ux-add-ons")
  endif()

  add_library(${name} MODULE ${arg_SOURCES})
  ux_link_filter_plugin(${name} KIT UxFilterKit::AddOnKit EXPORTS "${export_map}" ICON "${icon}"
    OUTPUT_DIRECTORY "${output_dir}")
  set_target_properties(${name} PROPERTIES
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "${UX_FILTER_PLUGIN_RPATH}"
    UX_FILTER_PLUGIN_ICON "${icon}")
  install(TARGETS ${name} LIBRARY DESTINATION "${install_dir}")
  set_property(GLOBAL APPEND PROPERTY UX_FILTER_PLUGINS ${name})
  set_property(GLOBAL APPEND PROPERTY UX_FILTER_PLUGIN_ICONS "${name}=${icon}")
endfunction()

# ux_link_filter_plugin(TARGET KIT library EXPORTS version-script ICON icon
#                       OUTPUT_DIRECTORY folder)
#
# The recipe of ux_add_filter_plugin for a module TARGET already made: linked with
# the skeleton KIT, exporting what the version script EXPORTS lets out, every
# reference bound to the module itself, hidden visibility, no fused multiply-add,
# the icon ICON attached after linking, the file put into OUTPUT_DIRECTORY. The
# kit's own build makes its test builds of the plug-ins with it too.
function(ux_link_filter_plugin target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "KIT;EXPORTS;ICON;OUTPUT_DIRECTORY" "")
  if(NOT arg_KIT OR NOT arg_EXPORTS OR NOT arg_ICON OR NOT arg_OUTPUT_DIRECTORY OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "ux_link_filter_plugin(${target}) takes KIT, EXPORTS, ICON and OUTPUT_DIRECTORY")
  endif()
  target_link_libraries(${target} PRIVATE ${arg_KIT})
  target_compile_options(${target} PRIVATE -ffp-contract=off)
  target_link_options(${target} PRIVATE -Wl,--undefined=make_nth_filter -Wl,--no-undefined -Wl,-Bsymbolic
    "-Wl,--version-script=${arg_EXPORTS}")
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY "${arg_OUTPUT_DIRECTORY}"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS "${arg_ICON};${arg_EXPORTS}")

  # In the kit's own build uxres is built first; an installed kit brings it.
  add_dependencies(${target} UxFilterKit::uxres)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND $<TARGET_FILE:UxFilterKit::uxres> attach $<TARGET_FILE:${target}> --icon ${arg_ICON}
    COMMENT "Attaching the icon and file type to ${target}"
    VERBATIM)
endfunction()

# ux_add_filter_check(NAME [JUNIT FILE])
#
# Adds the CTest test check-NAME, which runs `uxhost check` on the plug-in NAME made
# by ux_add_filter_plugin, so that `ctest` validates the filter: it fails when one
# of the checks fails (warnings pass). With JUNIT, the results go to FILE as JUnit
# XML too (relative to the build folder), for a CI system. Call enable_testing() first.
#
# Read when it is called: UX_FILTER_CHECK_UXHOST, the uxhost that checks (the
# installed kit's; in the kit's own build its uxhost target).
function(ux_add_filter_check name)
  cmake_parse_arguments(PARSE_ARGV 1 check "" "JUNIT" "")
  if(NOT TARGET ${name} OR check_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "ux_add_filter_check(NAME [JUNIT FILE]) takes the name of a plug-in made by ux_add_filter_plugin")
  endif()
  if(TARGET uxhost)
    set(uxhost $<TARGET_FILE:uxhost>)
  elseif(UX_FILTER_CHECK_UXHOST)
    set(uxhost ${UX_FILTER_CHECK_UXHOST})
  else()
    message(FATAL_ERROR "ux_add_filter_check(${name}): no uxhost to check with; set UX_FILTER_CHECK_UXHOST")
  endif()
  set(junit)
  if(check_JUNIT)
    get_filename_component(file ${check_JUNIT} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
    set(junit --junit ${file})
  endif()
  add_test(NAME check-${name} COMMAND ${uxhost} check $<TARGET_FILE:${name}> ${junit})
endfunction()
