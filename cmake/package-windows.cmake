# The Windows packages: a portable zip and an NSIS installer, both named
# folvane-<version>-win64. The executables are linked statically and need nothing
# beside them.
set(FOLVANE_WIN_PROGRAMS folvane-cli)
if(FOLVANE_BUILD_UI)
  list(PREPEND FOLVANE_WIN_PROGRAMS folvane)
endif()
install(TARGETS ${FOLVANE_WIN_PROGRAMS} RUNTIME DESTINATION . COMPONENT programs)
install(FILES README.md DESTINATION . COMPONENT programs)

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_NAME Folvane)
set(CPACK_PACKAGE_VENDOR Folvane)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Merges NAND flash partition images into a data image and its partition table")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME folvane-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Folvane)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Folvane)
set(CPACK_STRIP_FILES ON)
# Values reach the NSIS script exactly as written here (quotes and backslashes too).
set(CPACK_VERBATIM_VARIABLES ON)

# The installer: Program Files (64-bit), a Start-menu entry with the icon, the .part
# association and an uninstaller that removes all of it.
set(_icon "${PROJECT_SOURCE_DIR}/ui/resources/folvane.ico")
set(CPACK_NSIS_MUI_ICON "${_icon}")
set(CPACK_NSIS_MUI_UNIICON "${_icon}")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# A 64-bit installer, like the program: NSIS builds 32-bit ones unless told.
if(CMAKE_HOST_UNIX)  # the packages are made on the Linux machine that cross-compiles
  set(CPACK_NSIS_EXECUTABLE "${PROJECT_SOURCE_DIR}/cmake/makensis-amd64")
endif()
set(CPACK_NSIS_DISPLAY_NAME "Folvane ${PROJECT_VERSION}")
set(CPACK_NSIS_PACKAGE_NAME "Folvane ${PROJECT_VERSION}")
set(CPACK_NSIS_INSTALLED_ICON_NAME "folvane.exe")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY ".")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
if(FOLVANE_BUILD_UI)
  set(CPACK_PACKAGE_EXECUTABLES folvane "Folvane")
  # Opening a .part file starts the window with it, as IMPORT would load it.
  set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS [=[
  WriteRegStr HKCR ".part" "" "Folvane.PartFile"
  WriteRegStr HKCR "Folvane.PartFile" "" "Folvane partition job"
  WriteRegStr HKCR "Folvane.PartFile\DefaultIcon" "" "$INSTDIR\folvane.exe,0"
  WriteRegStr HKCR "Folvane.PartFile\shell\open\command" "" '"$INSTDIR\folvane.exe" "%1"'
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, i 0, i 0)'
]=])
  set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS [=[
  ReadRegStr $0 HKCR ".part" ""
  StrCmp $0 "Folvane.PartFile" 0 +2
    DeleteRegKey HKCR ".part"
  DeleteRegKey HKCR "Folvane.PartFile"
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, i 0, i 0)'
]=])
endif()
include(CPack)
