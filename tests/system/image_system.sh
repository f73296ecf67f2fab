# Sourced inside sandbox.sh: makes the namespace an image-based system for
# real (the marker file, os-release, a read-only /usr or /), with stand-ins
# for the tools Debian lacks (image_tool_standin.sh) where the real ones go.
#   make_image_system ostree         Fedora Silverblue: /run/ostree-booted, read-only /usr
#   make_image_system transactional  openSUSE MicroOS: transactional-update, read-only /
#   make_image_system stray          an ordinary system with a stray /run/ostree-booted
#   leave_image_system               back to the ordinary sandbox
make_image_system() {
  standin=$(dirname "$0")/image_tool_standin.sh
  rm -f /etc/os-release /run/qor-image-tool.log
  case $1 in
    ostree)
      install -m 0755 "$standin" /usr/bin/rpm-ostree
      printf 'NAME="Fedora Linux"\nVERSION_ID=43\nVARIANT="Silverblue"\nVARIANT_ID=silverblue\nOSTREE_VERSION='"'43.20261201.0'"'\n' \
        >/etc/os-release
      touch /run/ostree-booted
      mount --bind /usr /usr && mount -o remount,bind,ro /usr
      ;;
    transactional)
      install -m 0755 "$standin" /usr/sbin/transactional-update
      printf 'NAME="openSUSE MicroOS"\nID="opensuse-microos"\nID_LIKE="suse opensuse opensuse-tumbleweed"\n' >/etc/os-release
      mount -o remount,bind,ro /
      # A working folder that the read-only / does not take with it.
      mkdir -p /run/qor-work && cd /run/qor-work
      ;;
    stray)
      install -m 0755 "$standin" /usr/bin/rpm-ostree
      cp /usr/lib/os-release /etc/os-release
      touch /run/ostree-booted
      ;;
  esac
}

leave_image_system() {
  rm -f /run/ostree-booted
  mount -o remount,bind,rw / 2>/dev/null || :
  umount -l /usr 2>/dev/null || : # lazily: a process of the last row may still hold a file in it
  rm -f /usr/bin/rpm-ostree /usr/sbin/transactional-update
  cp /usr/lib/os-release /etc/os-release
}
