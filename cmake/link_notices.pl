#!/usr/bin/perl
# Checks a program's link map against the notices shipped with it: every
# library member and object file the linker took from outside this project
# must belong to a library whose notice the notices file holds. A new
# dependency then stops the release until its notice is added (to the
# notices file, and its files to the table below).
#
#   perl cmake/link_notices.pl LINK_MAP NOTICES_FILE
#
# Exits 0 and names the notices used, or 1 and names each file not covered.
use strict;
use warnings;

my ($map_file, $notices_file) = @ARGV;
die "usage: link_notices.pl LINK_MAP NOTICES_FILE\n" unless defined $notices_file;

# Which library a file of the toolchain comes from, by its archive (or
# object) name and, where one archive holds code under several licences, its
# member's name. The first row that matches decides. Notices are named by
# their heading in the notices file. Rows for code that is not linked today
# name notices the file does not have, so that such code cannot come in
# unnoticed.
my $gdtoa = qr/^(?:arithchk|dmisc|dtoa|g__fmt|g_dfmt|g_ffmt|g_xfmt|gdtoa|gethex|gmisc|hd_init
                 |hexnan|misc|qnan|smisc|strtod|strtodg|strtodnrp|strtof|strtopx|sum|ulp)\.o$/x;
my @owners = (
    ['libmingwex.a', qr/^mingw_pformatw?\.o$/,  ['gdtoa', 'mingw_pformat']],
    ['libmingwex.a', $gdtoa,                    ['gdtoa']],
    ['libmingwex.a', qr/^(?:mingw_[a-z]*printf[a-z]*|basename|dirname)\.o$/, ['mingw_pformat']],
    # Other licences in the MinGW-w64 runtime's sources.
    ['libmingwex.a', qr/^(?:s_erf|sf_erf|e_fmodf?|e_powf?|e_remainderf?)\.o$/,
        ['Sun Microsystems math functions']],
    ['libmingwex.a', qr/^getopt\.o$/,           ['getopt']],
    ['libmingwex.a', qr/^strtok_r\.o$/,         ['strtok_r']],
    ['libmingw32.a', qr/^(?:gcrt0|profil|gmon|mcount)\.o$/, ['MinGW-w64 profiling']],
    [qr/^(?:libmingw32|libmingwex|libmsvcrt|libkernel32|libuser32|libadvapi32)\.a$/, undef,
        ['MinGW-w64 runtime']],
    [qr/^crt2u?\.o$/, undef, ['MinGW-w64 runtime']],
    [qr/^(?:libstdc\+\+|libsupc\+\+|libgcc|libgcc_eh)\.a$/, undef,
        ['GCC runtime libraries: libstdc++ and libgcc']],
    [qr/^crt(?:begin|end)\.o$/, undef, ['GCC runtime libraries: libstdc++ and libgcc']],
    [qr/^(?:libpthread|libwinpthread)\.a$/, undef, ['winpthreads']],
);

sub owners_of {
    my ($file, $member) = @_;
    for my $row (@owners) {
        my ($name, $members, $notices) = @$row;
        next unless ref $name ? $file =~ $name : $file eq $name;
        next if defined $members && !(defined $member && $member =~ $members);
        return @$notices;
    }
    return ();
}

# The headings of the notices file: a line between two lines of "=".
open my $notices_in, '<:raw', $notices_file or die "cannot read $notices_file: $!\n";
my @lines = map { s/\r?\n\z//r } <$notices_in>;
close $notices_in;
my %have;
for my $i (1 .. $#lines - 1) {
    $have{$lines[$i]} = 1 if $lines[$i - 1] =~ /^={20,}$/ && $lines[$i + 1] =~ /^={20,}$/;
}

# What the linker took: the archive members it lists as included, and the
# object files it loaded whole. Paths of the build tree are relative; the
# toolchain's are absolute, and only those are third-party code.
open my $map_in, '<', $map_file or die "cannot read $map_file: $!\n";
my (%inputs, $in_members);
while (my $line = <$map_in>) {
    if ($line =~ /^Archive member included/) { $in_members = 1; next; }
    if ($line =~ /^(?:Discarded input sections|Allocating common symbols|Memory Configuration)/) {
        $in_members = 0;
    }
    if ($in_members && $line =~ m{^(/\S*?)\(([^()/]+)\)(?:\s|$)}) {
        $inputs{"$1($2)"} = 1;
    } elsif ($line =~ m{^LOAD (/\S+\.o(?:bj)?)$}) {
        $inputs{$1} = 1;
    }
}
close $map_in;
die "$map_file lists no library code: not a link map of the program?\n" unless %inputs;

my (@uncovered, %used);
for my $input (sort keys %inputs) {
    my ($path, $member) = $input =~ m{^(.*?)(?:\(([^()]+)\))?$};
    my $file = $path =~ s{.*/}{}r;
    # Members are named after their source and the library they were built
    # for: lib64_libmingwex_a-gdtoa.o, libwinpthread_la-mutex.o.
    my $source = defined $member ? $member =~ s/^lib\w+?_(?:a|la)-//r : undef;
    my $shown = defined $member ? "$file($member)" : $file;
    my @notices = owners_of($file, $source);
    if (!@notices) {
        push @uncovered, "$shown: no notice is known for it";
        next;
    }
    for my $notice (@notices) {
        if ($have{$notice}) {
            $used{$notice} = 1;
        } else {
            push @uncovered, "$shown: the notice \"$notice\" is missing";
        }
    }
}

if (@uncovered) {
    print STDERR "The program holds code that $notices_file does not cover:\n";
    print STDERR "  $_\n" for @uncovered;
    exit 1;
}
print "The notices cover every library in the link map: ", join('; ', sort keys %used), "\n";
my @unused = grep { !$used{$_} } sort keys %have;
print "Notices for code not linked: ", join('; ', @unused), "\n" if @unused;
exit 0;
