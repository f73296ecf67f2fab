# Sourced inside sandbox.sh. make_image_system ostree|transactional|stray: Silverblue (/run/ostree-booted,
# read-only /usr), MicroOS (read-only /) or an ordinary system with a stray /run/ostree-booted, for real,
# with a stand-in (image_tool_standin.sh) where Debian has no tool; each call first undoes the last.
make_image_system() {
  mount -o remount,bind,rw / && mount -o remount,bind,rw /usr
  rm -f /run/ostree-booted /run/qor-image-tool.log /usr/bin/rpm-ostree /usr/sbin/transactional-update
  ln -sf ../usr/lib/os-release /etc/os-release
  tool=/usr/bin/rpm-ostree
  case $1 in
    ostree) rm /etc/os-release && printf 'NAME="Fedora Linux"\nVARIANT_ID=silverblue\nOSTREE_VERSION='"'43.20261201.0'"'\n' >/etc/os-release ;;
    transactional) tool=/usr/sbin/transactional-update
      rm /etc/os-release && printf 'NAME="openSUSE MicroOS"\nID="opensuse-microos"\n' >/etc/os-release ;;
  esac
  install -m 0755 "$(dirname "$0")/image_tool_standin.sh" "$tool"
  case $1 in
    ostree) touch /run/ostree-booted && mount --bind /usr /usr && mount -o remount,bind,ro /usr ;;
    # With a working folder that the read-only / does not take with it.
    transactional) mount -o remount,bind,ro / && mkdir -p /run/qor-work && cd /run/qor-work ;;
    stray) touch /run/ostree-booted ;;
  esac
}
