#!/usr/bin/perl
# Leaves a Windows executable as Authenticode tools leave it once they have
# removed a signature: zero-padded to a multiple of 8 bytes and carrying the
# standard PE checksum. Signing the release and removing the signature again
# then gives back these very bytes, so a signed copy can be compared with a
# build of its sources.
#   perl pe_release_bytes.pl FILE.exe
use strict;
use warnings;

@ARGV == 1 or die "usage: $0 FILE.exe\n";
my $path = $ARGV[0];

open my $file, '+<:raw', $path or die "$path: $!\n";
my $image = do { local $/; <$file> };
defined $image or die "$path: $!\n";

sub field {
    my ($offset, $length, $format) = @_;
    $offset + $length <= length $image or die "$path: not a PE file (too short)\n";
    return unpack $format, substr($image, $offset, $length);
}

field(0, 2, 'a2') eq 'MZ' or die "$path: not a PE file (no MZ header)\n";
my $pe_header = field(0x3c, 4, 'V');
field($pe_header, 4, 'a4') eq "PE\0\0" or die "$path: not a PE file (no PE header)\n";
my $optional_header = $pe_header + 24;
my $magic = field($optional_header, 2, 'v');
my ($count_at, $directories_at) =
    $magic == 0x10b ? (92, 96) : $magic == 0x20b ? (108, 112)
                    : die sprintf("%s: unknown optional header 0x%x\n", $path, $magic);

# Padding a signed file would put the zeros inside its signature.
if (field($optional_header + $count_at, 4, 'V') > 4) {
    my (undef, $size) = field($optional_header + $directories_at + 4 * 8, 8, 'VV');
    $size == 0 or die "$path: already signed; expected the linker's output\n";
}

my $original = $image;
$image .= "\0" x ((8 - length($image) % 8) % 8);

# The checksum of imagehlp's CheckSumMappedFile: 16-bit words added with end-
# around carry, the checksum field counted as zero, then the file's length.
my $checksum_at = $optional_header + 64;
substr($image, $checksum_at, 4) = "\0" x 4;
my $sum = 0;
for my $word (unpack 'v*', $image) {
    $sum += $word;
    $sum = ($sum & 0xffff) + ($sum >> 16);
}
$sum = (($sum & 0xffff) + ($sum >> 16) + length $image) & 0xffffffff;
substr($image, $checksum_at, 4) = pack 'V', $sum;

if ($image ne $original) {
    seek $file, 0, 0 or die "$path: $!\n";
    print {$file} $image or die "$path: $!\n";
}
close $file or die "$path: $!\n";
