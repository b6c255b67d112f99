#!/usr/bin/perl
# Gives a value of a hive file SIZE bytes of data, stored as Windows stores
# data over 16,344 bytes: in segments listed by a "db" cell. hivex reads such
# data but cannot write it, and writes no value of a million bytes or more.
#
#   add_big_data.pl HIVE NAME SIZE
#
# The data is "A" and NUL repeated: the letter A over and over in a text
# value. The cells go into a new bin at the end of the file; the value's old
# data cell is left unused. NAME must be stored in ASCII, as hivex stores it.
use strict;
use warnings;

my ($file, $name, $size) = @ARGV;
die "usage: add_big_data.pl HIVE NAME SIZE\n" unless defined $size;
open my $fh, "+<:raw", $file or die "$file: $!\n";
my $hive = do { local $/; <$fh> };

# The value's cell: size, "vk", name length, data size, data offset, type,
# flags, spare, then the name.
my $vk = index($hive, $name) - 0x18;
die "no value $name in $file\n"
  if $vk < 0x1000 || substr($hive, $vk + 4, 2) ne "vk" ||
     unpack("v", substr($hive, $vk + 6, 2)) != length $name;

# Offsets inside the hive count from the first bin, at 0x1000.
my $bin = length $hive;
my $cells = "";
my $add_cell = sub {
  my ($body) = @_;
  my $length = 4 + length $body;
  $length += (8 - $length % 8) % 8;
  my $at = $bin + 0x20 + length $cells;
  $cells .= pack("l<", -$length) . $body . ("\0" x ($length - 4 - length $body));
  return $at - 0x1000;
};
my $data = substr("A\0" x ($size / 2 + 1), 0, $size);
my @segments;
for (my $at = 0; $at < $size; $at += 16344) {
  # Four spare bytes, as Windows leaves them: readers take a segment's
  # length as its cell's less eight.
  push @segments, $add_cell->(substr($data, $at, 16344) . "\0" x 4);
}
my $list = $add_cell->(pack "V*", @segments);
my $db = $add_cell->("db" . pack("vVV", scalar @segments, $list, 0));

# The bin is whole pages; what the cells leave is one free cell.
my $bin_size = 0x20 + length $cells;
$bin_size += (4096 - $bin_size % 4096) % 4096;
my $free = $bin_size - 0x20 - length $cells;
$cells .= pack("l<", $free) . ("\0" x ($free - 4)) if $free;
$hive .= "hbin" . pack("VVVVQ<V", $bin - 0x1000, $bin_size, 0, 0, 0, 0) . $cells;

substr($hive, $vk + 0x08, 8) = pack "VV", $size, $db;
substr($hive, 0x28, 4) = pack "V", unpack("V", substr($hive, 0x28, 4)) + $bin_size;
# The base block's checksum; the sums 0 and 0xFFFFFFFF are stored as other
# numbers by Windows, so the timestamp moves until the sum is neither.
for (;;) {
  my $sum = 0;
  $sum ^= $_ for unpack "V127", $hive;
  if ($sum != 0 && $sum != 0xFFFFFFFF) {
    substr($hive, 0x1FC, 4) = pack "V", $sum;
    last;
  }
  substr($hive, 0x0C, 8) = pack "Q<", unpack("Q<", substr($hive, 0x0C, 8)) + 1;
}
seek $fh, 0, 0 or die "$file: $!\n";
print $fh $hive or die "$file: $!\n";
close $fh or die "$file: $!\n";
