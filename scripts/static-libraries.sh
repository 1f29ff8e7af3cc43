# Sourced, not run: builds zlib, libpng and libgd (PNG support only) as static
# libraries from Debian's own source packages, for any toolchain, so that a
# cross build links the very code the Linux build's libraries are made of and
# so encodes the same bytes. Two functions:
#
#   fetch_library_sources DIR
#     Unpacks the three source packages into DIR, once: a later call finds
#     DIR/.complete and does nothing, so every target built from DIR shares
#     one download. DIR/apt holds a private apt setup.
#
#   build_static_libraries --sources DIR --prefix DIR --work DIR [OPTIONS]
#     Builds the three from DIR (as fetch_library_sources left it) and
#     installs them into the prefix; build trees and logs go in the work
#     directory. Does nothing when the prefix is complete already.
#     --toolchain FILE     the CMake toolchain file of the target
#     --host TRIPLET       zlib's configure builds for TRIPLET (CHOST)
#     --cmake WRAPPER      runs CMake's configure step through WRAPPER
#                          (emcmake, say); repeat for a wrapper with arguments
#     --configure WRAPPER  runs zlib's configure through WRAPPER (emconfigure)
#     --make WRAPPER       runs zlib's make through WRAPPER (emmake)
#     --cmake-arg ARG      one more argument for the libpng and libgd configure
#
# Both write each step's output to a log and show its end only on failure.
# They change the current directory only within subshells.

# library_step LOG COMMAND...: COMMAND with its output in LOG, whose last
# lines are shown, with the command, when it fails.
library_step() {
  local log="$1"
  shift
  "$@" >"$log" 2>&1 || {
    tail -n 40 "$log" >&2
    echo "failed: $* (log: $log)" >&2
    return 1
  }
}

fetch_library_sources() {
  local dir="$1"
  local apt="$dir/apt" sources="$dir"
  [ -f "$sources/.complete" ] && return 0
  local codename
  codename="$(. /etc/os-release && echo "$VERSION_CODENAME")"
  rm -rf "$sources"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d" "$sources/logs"
  # Only the source counterparts of the machine's own Debian sources, in a
  # private apt setup, so that the system's lists stay as they are.
  : >"$apt/sources.list"
  # One-line sources: deb lines of this release become deb-src lines.
  local list
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] || continue
    awk -v release="$codename" '$1 == "deb" { for (i = 2; i <= NF; ++i) if ($i ~ "^" release) { $1 = "deb-src"; print; next } }' \
      "$list" >>"$apt/sources.list"
  done
  # deb822 sources: the stanzas of this release, typed deb-src.
  for list in /etc/apt/sources.list.d/*.sources; do
    [ -f "$list" ] || continue
    perl -00 -ne 'next unless /^Types:.*\bdeb\b/m && /^Suites:.*\b\Q'"$codename"'\E/m;
                  s/^Types:.*$/Types: deb-src/m; print "$_\n"' "$list" \
      >"$apt/sources.list.d/$(basename "$list")"
  done
  cat >"$apt/apt.conf" <<EOF
Dir::State "$apt";
Dir::State::Lists "$apt/lists";
Dir::Cache "$apt/cache";
Dir::Etc::SourceList "$apt/sources.list";
Dir::Etc::SourceParts "$apt/sources.list.d";
APT::Sandbox::User "root";
EOF
  (
    export APT_CONFIG="$apt/apt.conf"
    library_step "$sources/logs/apt-update.log" apt-get update || exit 1
    cd "$sources"
    for package in zlib libpng1.6 libgd2; do
      # The newest version first (a security update, say); when the archive
      # does not serve its source, the release's own.
      if ! apt-get source "$package" >"logs/source-$package.log" 2>&1; then
        echo "The newest source of $package is not served; taking $codename's own"
        library_step "logs/source-$package-$codename.log" apt-get source "$package/$codename" || exit 1
      fi
    done
  ) || return 1
  touch "$sources/.complete"
}

build_static_libraries() {
  local sources="" prefix="" work="" toolchain="" host=""
  local cmake=() configure=() make=() cmake_args=()
  while [ $# -gt 0 ]; do
    case "$1" in
      --sources) sources="$2" ;;
      --prefix) prefix="$2" ;;
      --work) work="$2" ;;
      --toolchain) toolchain="$2" ;;
      --host) host="$2" ;;
      --cmake) cmake+=("$2") ;;
      --configure) configure+=("$2") ;;
      --make) make+=("$2") ;;
      --cmake-arg) cmake_args+=("$2") ;;
      *) echo "build_static_libraries: unknown option $1" >&2; return 2 ;;
    esac
    shift 2
  done
  [ -n "$sources" ] && [ -n "$prefix" ] && [ -n "$work" ] ||
    { echo "build_static_libraries: --sources, --prefix and --work are needed" >&2; return 2; }
  [ -f "$prefix/.complete" ] && return 0

  local logs="$work/logs"
  rm -rf "$prefix" "$work/zlib" "$work/libpng" "$work/libgd"
  mkdir -p "$logs"
  local common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix")
  [ -n "$toolchain" ] && common+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
  common+=("${cmake_args[@]}")

  # zlib builds in its source tree: a copy of its own for each target keeps
  # the shared sources clean.
  cp -a "$(echo "$sources"/zlib-*/)" "$work/zlib"
  local chost=()
  [ -n "$host" ] && chost=(env CHOST="$host")
  (
    cd "$work/zlib"
    library_step "$logs/zlib-configure.log" "${configure[@]}" "${chost[@]}" ./configure --static --prefix="$prefix" &&
      library_step "$logs/zlib-build.log" "${make[@]}" make -j2 install
  ) || return 1

  library_step "$logs/libpng-configure.log" "${cmake[@]}" cmake -S "$(echo "$sources"/libpng1.6-*/)" -B "$work/libpng" \
    "${common[@]}" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF || return 1
  library_step "$logs/libpng-build.log" cmake --build "$work/libpng" -j2 --target install || return 1

  local formats=() format
  for format in AVIF FONTCONFIG FREETYPE HEIF ICONV JPEG LIQ RAQM TIFF WEBP XPM; do
    formats+=(-DENABLE_$format=OFF)
  done
  library_step "$logs/libgd-configure.log" "${cmake[@]}" cmake -S "$(echo "$sources"/libgd2-*/)" -B "$work/libgd" \
    "${common[@]}" -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DENABLE_PNG=ON "${formats[@]}" -DENABLE_CPP=OFF ||
    return 1
  library_step "$logs/libgd-build.log" cmake --build "$work/libgd" -j2 --target install || return 1
  touch "$prefix/.complete"
}
