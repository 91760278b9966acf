# The program's floors, from the top: the application (app/), the download's component
# (download/), the per-system layer (platform/), the rules every system shares (rules/) and the
# constants every floor uses (constants/). A floor's target links only the floors below it, and
# publishes only its own public headers, each under its folder's name, from a folder of the build
# tree that holds nothing else: "platform/Platform.h" can be included only where the platform's
# target is linked, so an include that runs upward or in a circle does not compile.
#
# vantrel_publish_headers(<target> <floor> <header>...): the headers are paths relative to the
# calling folder; the target's other headers stay its own (reached from its sources by relative
# paths, or through the PRIVATE include folder the caller gives it).

function(vantrel_publish_headers target floor)
    set(published "${CMAKE_BINARY_DIR}/floors/${floor}")
    # Made again at each configure, so that a header no longer public is not left reachable.
    file(REMOVE_RECURSE "${published}")

    foreach(header IN LISTS ARGN)
        get_filename_component(folder "${published}/${floor}/${header}" DIRECTORY)
        file(MAKE_DIRECTORY "${folder}")
        file(CREATE_LINK "${CMAKE_CURRENT_SOURCE_DIR}/${header}" "${published}/${floor}/${header}" SYMBOLIC)
    endforeach()

    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
        target_include_directories(${target} INTERFACE "${published}")
    else()
        target_include_directories(${target} PUBLIC "${published}")
    endif()
endfunction()
