# Install rules, included by the top level when BGS_INSTALL is ON:
#   - libbinder_ndk.so and libvendor.tolvek.hardware.aidlbgservice-V1-ndk.so
#     with their SONAME links, and every public header;
#   - the CMake package bgservice_ipc, whose imported targets carry the same
#     names as the in-tree aliases: bgs::aidlbgservice (the binding library,
#     bringing bgs::binder_ndk and bgs::binder_ndk_cpp with it),
#     bgs::binder_ndk (the runtime alone) and bgs::binder_ndk_cpp (the
#     header-only object frame);
#   - pkg-config files binder_ndk.pc and
#     vendor.tolvek.hardware.aidlbgservice-V1-ndk.pc;
#   - what builds a user's binding library from definition files: bgidlc
#     (bin/, the imported target bgs::bgidlc), the function
#     bgs_add_interface_library (BgsInterfaceLibrary.cmake, which the package
#     config includes) and the mechanisms generated sources include
#     (include/bgs/binding/internal/, the target bgs::binding_internal).
# The white-box archive aidlbgservice_whitebox is neither installed nor
# exported.

include(CMakePackageConfigHelpers)

get_target_property(BGS_BINDING_TARGET bgs::aidlbgservice ALIASED_TARGET)
set(BGS_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${PROJECT_NAME})

# The installed binding library finds the runtime beside itself, wherever the
# prefix is, also for programs whose own search path does not name it.
set_target_properties(${BGS_BINDING_TARGET} PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS binder_ndk binder_ndk_cpp ${BGS_BINDING_TARGET}
  EXPORT ${PROJECT_NAME}Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT bgs_runtime
    NAMELINK_COMPONENT bgs_development)

# bgidlc belongs with the headers: a project builds with it.
install(TARGETS bgidlc bgs_binding_internal
  EXPORT ${PROJECT_NAME}Targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT bgs_development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/interfaces/internal/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/bgs/binding/internal
  COMPONENT bgs_development
  FILES_MATCHING PATTERN "*.h")

install(DIRECTORY
    ${PROJECT_SOURCE_DIR}/runtime/include/
    ${PROJECT_SOURCE_DIR}/frameworks/native/libs/binder/ndk/include_cpp/
    ${PROJECT_SOURCE_DIR}/interfaces/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT bgs_development
  FILES_MATCHING PATTERN "*.h")

install(EXPORT ${PROJECT_NAME}Targets
  NAMESPACE bgs::
  DESTINATION ${BGS_PACKAGE_DIR}
  COMPONENT bgs_development)

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/${PROJECT_NAME}Config.cmake.in
  ${PROJECT_BINARY_DIR}/${PROJECT_NAME}Config.cmake
  INSTALL_DESTINATION ${BGS_PACKAGE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/${PROJECT_NAME}ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/${PROJECT_NAME}Config.cmake
    ${PROJECT_BINARY_DIR}/${PROJECT_NAME}ConfigVersion.cmake
    ${CMAKE_CURRENT_LIST_DIR}/BgsInterfaceLibrary.cmake
    ${CMAKE_CURRENT_LIST_DIR}/BgsGenerateInterface.cmake
  DESTINATION ${BGS_PACKAGE_DIR}
  COMPONENT bgs_development)

# pkg-config files hold absolute directories, so they are written when the
# install runs, for the prefix it installs into: `cmake --install --prefix`
# may name another one than the configured CMAKE_INSTALL_PREFIX.
set(BGS_PC_STAGE ${PROJECT_BINARY_DIR}/pkgconfig)
set(BGS_PC_FILES binder_ndk.pc ${BGS_BINDING_TARGET}.pc)
install(CODE "
  set(BGS_PC_TEMPLATE_DIR \"${CMAKE_CURRENT_LIST_DIR}/pkgconfig\")
  set(BGS_PC_STAGE \"${BGS_PC_STAGE}\")
  set(BGS_PC_FILES \"${BGS_PC_FILES}\")
  set(BGS_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(BGS_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(BGS_PC_VERSION \"${PROJECT_VERSION}\")
  set(BGS_PC_THREAD_LIBS \"${CMAKE_THREAD_LIBS_INIT}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/BgsWritePkgConfig.cmake\")"
  COMPONENT bgs_development)
list(TRANSFORM BGS_PC_FILES PREPEND ${BGS_PC_STAGE}/)
install(FILES ${BGS_PC_FILES}
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT bgs_development)
