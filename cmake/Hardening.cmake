# The hardening Debian's dpkg-buildflags gives (stack protector, fortified functions, read-only
# relocations bound at start). Fortify needs the optimiser, and the sanitizers bring their own
# checks, so those builds go without it.
if(NOT QUILLMERE_SANITIZE AND NOT QUILLMERE_FUZZ)
  add_compile_options(-fstack-protector-strong $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
