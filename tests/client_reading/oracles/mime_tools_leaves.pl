#!/usr/bin/perl
# SPDX-License-Identifier: Apache-2.0
# mime_tools_leaves.pl - the MIME-tools oracle of the differential test: parses each message of a
# batch with MIME::Parser as amavisd-new and SpamAssassin set it up (nested messages extracted,
# uuencoded blocks in text extracted) and writes every leaf's decoded content.
#
# Usage: mime_tools_leaves.pl LIST
# Each line of LIST is "MESSAGE<TAB>FOLDER"; the output is that of gmime_leaves.c: FOLDER/N for
# each leaf, FOLDER/parts.tsv with "N<TAB>type<TAB>file name<TAB>encoding", FOLDER/done last.
use strict;
use warnings;
use MIME::Parser;

# A field of parts.tsv: tabs and line ends made blanks.
sub field {
    my ($text) = @_;
    $text = '' unless defined $text;
    $text =~ s/[\t\r\n]/ /g;
    return $text;
}

# Parses one message into its folder; a parser that dies leaves what it had.
sub read_message {
    my ($message, $folder) = @_;
    mkdir $folder;
    open(my $list, '>', "$folder/parts.tsv") or die "$folder/parts.tsv: $!";
    my $parser = MIME::Parser->new;
    $parser->output_to_core(1);
    $parser->tmp_to_core(1);
    $parser->extract_nested_messages(1);
    $parser->extract_uuencode(1);
    $parser->ignore_errors(1);
    $parser->decode_headers(0);
    my $entity = eval { $parser->parse_open($message) };
    if ($entity) {
        my $number = 0;
        for my $part ($entity->parts_DFS) {
            next if $part->parts;
            my $body = $part->bodyhandle;
            next unless defined $body;
            my $content = eval { $body->as_string };
            next unless defined $content;
            open(my $out, '>:raw', "$folder/$number") or die "$folder/$number: $!";
            print $out $content;
            close $out;
            my $head = $part->head;
            print $list join("\t", $number, field($part->mime_type),
                             field($head->recommended_filename),
                             field($head->mime_encoding)), "\n";
            $number++;
        }
        $entity->purge;
    }
    close $list;
    open(my $done, '>', "$folder/done") or die "$folder/done: $!";
    close $done;
}

open(my $list, '<', $ARGV[0]) or die "usage: mime_tools_leaves.pl LIST\n";
while (my $line = <$list>) {
    chomp $line;
    my ($message, $folder) = split /\t/, $line, 2;
    read_message($message, $folder) if defined $folder;
}
