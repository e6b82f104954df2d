// groupstats
