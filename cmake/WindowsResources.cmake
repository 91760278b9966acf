# The executable's resources: the manifest asking for administrator rights, the version
# information (numbers from the project's version) and the two icon groups.

set(VANTREL_RESOURCES_DIR "${CMAKE_CURRENT_LIST_DIR}/../resources")

function(vantrel_add_windows_resources target)
    set(VANTREL_MANIFEST "${VANTREL_RESOURCES_DIR}/VantrelInstall.manifest")
    set(VANTREL_ICON "${VANTREL_RESOURCES_DIR}/icon/VantrelInstall.ico")
    set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc")
    configure_file("${VANTREL_RESOURCES_DIR}/VantrelInstall.rc.in" "${rc}" @ONLY)
    target_sources(${target} PRIVATE "${rc}")
    set_property(SOURCE "${rc}" APPEND PROPERTY OBJECT_DEPENDS "${VANTREL_MANIFEST}" "${VANTREL_ICON}")
endfunction()
