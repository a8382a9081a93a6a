#!/usr/bin/perl
# Checks a program's link map against the notices shipped with it: every
# archive member and object file taken from the toolchain must belong to a
# library whose notice the file holds (a heading between two lines of "="),
# and every notice must be for code the program holds.
use strict;
use warnings;

my ($map_file, $notices_file) = @ARGV;
die "usage: link_notices.pl LINK_MAP NOTICES_FILE\n" unless defined $notices_file;

# The notices a toolchain file needs, by "archive(member)" (named after its
# source) or object file; the first row that matches decides. Rows for code
# not linked today name notices the file lacks, so it cannot come in unnoticed.
my $gdtoa = 'arithchk|dmisc|dtoa|g__fmt|g_[dfx]fmt|gdtoa|gethex|gmisc|hd_init|hexnan|misc|qnan'
          . '|smisc|strtod|strtodg|strtodnrp|strtof|strtopx|sum|ulp';
my $gcc = 'GCC runtime libraries: libstdc++ and libgcc';
my @owners = (
    [qr/^libmingwex\.a\(mingw_pformatw?\.o\)$/, 'gdtoa', 'mingw_pformat'],
    [qr/^libmingwex\.a\((?:$gdtoa)\.o\)$/, 'gdtoa'],
    [qr/^libmingwex\.a\((?:mingw_[a-z]*printf[a-z]*|basename|dirname)\.o\)$/, 'mingw_pformat'],
    # Code in the MinGW-w64 runtime's sources under other licences.
    [qr/^libmingwex\.a\((?:s_erf|sf_erf|e_fmodf?|e_powf?|e_remainderf?)\.o\)$/,
        'Sun Microsystems math functions'],
    [qr/^libmingwex\.a\(getopt\.o\)$/, 'getopt'],
    [qr/^libmingwex\.a\(strtok_r\.o\)$/, 'strtok_r'],
    [qr/^libmingw32\.a\((?:gcrt0|profil|gmon|mcount)\.o\)$/, 'MinGW-w64 profiling'],
    [qr/^(?:lib(?:mingw32|mingwex|msvcrt|kernel32|user32|advapi32|ntdll)\.a\(|crt2u?\.o$)/,
        'MinGW-w64 runtime'],
    [qr/^(?:lib(?:stdc\+\+|supc\+\+|gcc|gcc_eh)\.a\(|crt(?:begin|end)\.o$)/, $gcc],
    [qr/^lib(?:win)?pthread\.a\(/, 'winpthreads'],
);

open my $notices_in, '<:raw', $notices_file or die "cannot read $notices_file: $!\n";
my @lines = map { s/\r?\n\z//r } <$notices_in>;
my %have = map { $lines[$_] => 0 }
           grep { "$lines[$_ - 1]\n$lines[$_ + 1]" =~ /^={20,}\n={20,}$/ } 1 .. $#lines - 1;

# The archive members included and object files loaded whole; only the
# toolchain's have absolute paths. Members are named after the library built
# and their source: lib64_libmingwex_a-gdtoa.o.
open my $map_in, '<', $map_file or die "cannot read $map_file: $! (link the program first)\n";
my ($in_members, %inputs);
while (<$map_in>) {
    $in_members = 1 if /^Archive member included/;
    $in_members = 0 if /^(?:Discarded input sections|Allocating common symbols|Memory Configuration)/;
    if ($in_members && m{^/\S*?([^/(]+)\(([^()/]+)\)(?:\s|$)}) {
        my ($archive, $member) = ($1, $2);
        $inputs{"$archive($member)"} = "$archive(" . ($member =~ s/^lib\w+?_(?:a|la)-//r) . ')';
    }
    $inputs{$1} = $1 if m{^LOAD /\S*/([^/]+\.o(?:bj)?)$};
}
die "$map_file lists no library code: not a link map of the program?\n" unless %inputs;

my @uncovered;
for my $shown (sort keys %inputs) {
    my ($row) = grep { $inputs{$shown} =~ $_->[0] } @owners;
    push @uncovered, "$shown: no notice is known for it" unless $row;
    for my $notice ($row ? @$row[1 .. $#$row] : ()) {
        if (exists $have{$notice}) { $have{$notice}++ }
        else { push @uncovered, "$shown: the notice \"$notice\" is missing" }
    }
}
push @uncovered, "the notice \"$_\" is for code the program does not hold"
    for grep { !$have{$_} } sort keys %have;
if (@uncovered) {
    print STDERR "The program's link map $map_file does not match $notices_file:\n";
    print STDERR "  $_\n" for @uncovered;
    print STDERR "Add each missing notice to $notices_file, from the copyright file of the Debian\n",
        "package that ships the library (/usr/share/doc/PACKAGE/copyright), and a row for a file\n",
        "nothing is known for to the table in cmake/link_notices.pl; drop notices of code not linked.\n";
    exit 1;
}
print "The notices cover every library in the link map: ", join('; ', sort keys %have), "\n";
