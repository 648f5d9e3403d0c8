# MirnDLL.dll: exports exactly the seven functions at their ordinals, by the
# module-definition file made from exports/exports.list, and imports only
# system DLLs.
set_target_properties(MirnDLL PROPERTIES PREFIX "" IMPORT_PREFIX "" LINK_DEPENDS ${MIRN_EXPORTS_DEF})
target_sources(MirnDLL PRIVATE ${MIRN_EXPORTS_DEF})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The .def names the __stdcall symbols (SoundRecordPlay@4); they are
  # exported undecorated, and an export without __stdcall fails the link
  # rather than being matched to a plain symbol. The linker's own import
  # library would lose the decoration that callers' objects reference, so
  # dlltool makes it from the .def.
  target_link_options(MirnDLL PRIVATE "LINKER:--kill-at,--disable-stdcall-fixup")
  add_custom_command(TARGET MirnDLL POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --input-def ${MIRN_EXPORTS_DEF} --dllname MirnDLL.dll
            --output-lib $<TARGET_LINKER_FILE:MirnDLL> --kill-at
    VERBATIM)
endif()
