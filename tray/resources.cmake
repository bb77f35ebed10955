# tovel_tray_resources(target): after each build of the tray program, links
# its resource library (TrayLoc) and skin (Skin) beside it and copies its own
# resources (tray.res, as <program>.res, and tray.ico). The skin is drawn by
# tools/skin/draw_skin.py; its output is kept in this folder.
set(TOVEL_TRAY_RESOURCES ${CMAKE_CURRENT_LIST_DIR})
function(tovel_tray_resources target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${TOVEL_TRAY_RESOURCES}/TrayLoc
            $<TARGET_FILE_DIR:${target}>/TrayLoc
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${TOVEL_TRAY_RESOURCES}/Skin
            $<TARGET_FILE_DIR:${target}>/Skin
    COMMAND ${CMAKE_COMMAND} -E copy ${TOVEL_TRAY_RESOURCES}/tray.res
            $<TARGET_FILE:${target}>.res
    COMMAND ${CMAKE_COMMAND} -E copy ${TOVEL_TRAY_RESOURCES}/tray.ico
            $<TARGET_FILE_DIR:${target}>/tray.ico
    VERBATIM)
endfunction()
