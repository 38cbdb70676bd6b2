# The quillon program and its delegate. The program uses the engine as any application
# of the device does: through its shared library and public interface. The library keeps
# its own copy of the runtime layer: the program reaches the engine's logger and timer
# service only through PlayerRuntime.h, never through utils/ (a static utils object in the
# program would be a second, separate instance).
add_library(quillon_delegate STATIC CTestPlayerDelegate.cpp)
target_link_libraries(quillon_delegate PUBLIC orvane_player_headers PRIVATE orvaneplayer quillon_utils PkgConfig::CURL)

add_library(quillon_command_line STATIC CCommandLine.cpp)
target_link_libraries(quillon_command_line PUBLIC quillon_app)

# The stream figures beside the status file.
add_library(quillon_health_file STATIC CHealthFileWriter.cpp)
target_link_libraries(quillon_health_file PUBLIC orvane_player_headers orvaneplayer Threads::Threads PRIVATE quillon_utils)

add_library(quillon_service_notifier STATIC CServiceNotifier.cpp)
target_include_directories(quillon_service_notifier PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quillon_service_notifier PRIVATE PkgConfig::SYSTEMD)

add_executable(quillon main.cpp CConfigReload.cpp TlsSetup.cpp CItemSwitcher.cpp CSourceChain.cpp
                       CSourceRecheck.cpp)
target_link_libraries(quillon PRIVATE quillon_command_line quillon_app quillon_delegate
                                      quillon_service_notifier quillon_health_file orvaneplayer)
target_link_options(quillon PRIVATE -Wl,--as-needed)

install(TARGETS quillon RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT player)
