# The quillon program and its delegate.
add_library(quillon_delegate STATIC CTestPlayerDelegate.cpp)
target_link_libraries(quillon_delegate PUBLIC orvane_player_api quillon_utils PRIVATE PkgConfig::CURL)

add_library(quillon_command_line STATIC CCommandLine.cpp)
target_link_libraries(quillon_command_line PUBLIC quillon_app PRIVATE player_engine)

add_executable(quillon main.cpp)
target_link_libraries(quillon PRIVATE quillon_command_line quillon_app quillon_delegate player_engine quillon_utils)
