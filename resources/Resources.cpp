// SPDX-License-Identifier: GPL-3.0-or-later
// The images are compiled in by rcc; Qt links their objects straight into every executable that
// uses this library. CMake wants a static library to have at least one source of its own: this one.
