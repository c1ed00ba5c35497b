# quillmere-uninstall: a script beside the programs that removes what `cmake --install` put on
# the machine (Options > Uninstall starts it). Its list of files is the install's own manifest,
# taken when the install runs, so it always matches the install rules. Include this file after
# every other install rule: the rules run in the order they were declared.
#
# QUILLMERE_INSTALL_UNINSTALLER=OFF, and any package build (QUILLMERE_DEB_PACKAGE=ON), leaves it
# out: there the package manager owns the files.
if(NOT QUILLMERE_INSTALL_UNINSTALLER)
    return()
endif()

file(RELATIVE_PATH binToPrefix "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix")
set(uninstallTemplate ${CMAKE_CURRENT_LIST_DIR}/quillmere-uninstall.in)
install(CODE "
    set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(QUILLMERE_INSTALLED_FILES \"\")
    foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
        string(FIND \"\${file}\" \"\${root}/\" at)
        if(NOT at EQUAL 0)
            message(FATAL_ERROR \"quillmere-uninstall: \${file} lies outside \${root}\")
        endif()
        string(LENGTH \"\${root}/\" rootLength)
        string(SUBSTRING \"\${file}\" \${rootLength} -1 relative)
        list(APPEND QUILLMERE_INSTALLED_FILES \"\${relative}\")
    endforeach()
    list(REMOVE_DUPLICATES QUILLMERE_INSTALLED_FILES)
    list(JOIN QUILLMERE_INSTALLED_FILES \"\\n\" QUILLMERE_INSTALLED_FILES)
    set(QUILLMERE_BIN_TO_PREFIX \"${binToPrefix}\")
    set(uninstaller \"\${root}/${CMAKE_INSTALL_BINDIR}/quillmere-uninstall\")
    message(STATUS \"Installing: \${uninstaller}\")
    configure_file(\"${uninstallTemplate}\" \"\${uninstaller}\" @ONLY)
    file(CHMOD \"\${uninstaller}\" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${uninstaller}\")
")
