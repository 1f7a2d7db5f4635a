#!/bin/bash
# Everything the build, the tests and the local servers need on Debian bookworm.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    build-essential cmake libcurl4-openssl-dev libgtest-dev \
    nginx-light curl time ca-certificates \
    libgtk-3-dev libwebkit2gtk-4.1-dev libgl1-mesa-dri fonts-dejavu-extra \
    xvfb xauth xdotool imagemagick x11-utils \
    clang libfuzzer-14-dev libclang-rt-14-dev \
    python3 python3-matplotlib
