// The descriptors that the POSIX file calls hold, kept so that a child made
// by fork() lets go of them. A child shares its parent's open file
// descriptions, and a flock lock belongs to the description: a child that
// never touches the library would keep the parent's file locked after the
// parent closed it (Windows children never hold their parent's handles).
// In the child each of these descriptors is pointed at /dev/null, so that
// the file is no longer referenced there while the number stays taken (it
// never comes to name a file the child opens later), and counts as gone:
// the file calls refuse it with EBADF. The parent keeps its locks, and its
// fork() returns once the child has let go of them.
#ifndef VARNFILE_PLATFORM_POSIX_DESCRIPTORS_H_
#define VARNFILE_PLATFORM_POSIX_DESCRIPTORS_H_

namespace varnfile {

// open(2) of name with flags and mode 0666 (less the umask), retried when
// interrupted, the new descriptor recorded before a fork can come between.
// -1 and errno when it fails (ENOMEM when it cannot be recorded).
int OpenHeld(const char* name, int flags);
// Forgets and closes a descriptor of OpenHeld, one step as fork sees it.
// 0 or the errno of close(2).
int CloseHeld(int descriptor);
// True in a forked child for a descriptor that the parent held when it
// forked. Costs one load until the process is such a child.
bool HeldGone(int descriptor);

}  // namespace varnfile

#endif  // VARNFILE_PLATFORM_POSIX_DESCRIPTORS_H_
