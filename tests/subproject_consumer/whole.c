/* Deliberately defines nothing: the shared object holds only what the archive brings. */
typedef int sela_whole_archive_holder;
