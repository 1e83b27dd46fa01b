#!/usr/bin/perl
# A one-pass peer for the benchmarks: renames the cells of a from-to list of
# cell renames (lib.old/. lib.new/.) in every file given, with one regular
# expression over the word runs and a hash lookup per word, chained renames
# composed first.  Usage: peer_perl.pl rename.ftl file...
use strict;
use warnings;

my $ftl = shift @ARGV;
open(my $in, '<', $ftl) or die "$ftl: $!";
my @pairs;
while (<$in>) {
  my ($from, $to) = split;
  my ($old) = $from =~ /^[^.\/]+\.([^:\/]+)/;
  my ($new) = $to =~ /^[^.\/]+\.([^:\/]+)/;
  push @pairs, [$old, $new];
}
close $in;
# Composed from the last rename to the first, so that a name renamed twice
# ends as the last rename makes it.
my %map;
for my $p (reverse @pairs) {
  my ($old, $new) = @$p;
  $map{$old} = exists $map{$new} ? $map{$new} : $new;
}
for my $file (@ARGV) {
  local $/;
  open(my $f, '<', $file) or die "$file: $!";
  my $text = <$f>;
  close $f;
  $text =~ s/(?<![A-Za-z0-9_])([A-Za-z0-9_]+)(?![A-Za-z0-9_])/exists $map{$1} ? $map{$1} : $1/ge;
  open(my $o, '>', $file) or die "$file: $!";
  print $o $text;
  close $o;
}
